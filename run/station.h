#pragma once
#include <functional>
#include <memory>

#include "base/clock.h"
#include "device/host.h"
#include "run/run_environment.h"
#include "run/run_options.h"

struct ImageCheck;
struct ImageTrust;

// The station's link to its line (station --line), as the station loop uses it: the
// face joins it, since the line is not in every build, and words what the
// line tells the operator. Nothing here waits on the broker.
class ILineLink {
public:
    virtual ~ILineLink() = default;
    // False while the line's approval does not allow this station's image;
    // each change of the reason is said once on stderr.
    virtual bool MayTakeUnits() = 0;
    // The log took records: they go out now rather than at the next look.
    virtual void RecordsWritten() = 0;
    virtual void Status(int inProgress, int passed, int failed, bool stopping) = 0;
    // At the end of the shift: the final counts, a little wait for the broker
    // to take what it has not yet taken, and what is left for the next start.
    virtual void Close(int passed, int failed) = 0;
};

// Joins the station's line (--line) once its image is checked; null with the
// exit code in exit (the reason is on stderr) when it could not. The face
// gives it: the line is not in every build.
using LineJoiner =
    std::function<std::unique_ptr<ILineLink>(const ImageCheck& check, const ImageTrust& trust, int& exit)>;

class CRunRecords;

// Unattended flashing: checks the image once, then waits for devices. Each
// unit that appears and matches --expect-identity is flashed once (several
// at once when several appear) and gets one result line; a unit is flashed
// again only after it has gone away and come back. Runs until Ctrl-C, or
// until --units N units have ended; the exit code says whether any failed
// (RunExit). An image that changes on the way stops the station, as does a
// record that cannot be written (the log, the transcript, stdout); units in
// progress always end first. At its start it reports the units its log shows
// started and never ended (a crash, a power cut).
int CommandStation(const CliOptions& options, IScsiHost& host, IClock& clock, CliEnvironment& env, CRunRecords& records,
                   const LineJoiner& joinLine);
