#pragma once
#include <memory>
#include <string>

#include "cli/cli_app.h"
#include "cli/cli_args.h"

struct ImageCheck;
struct ImageTrust;

// line approve | watch | collect. Linux builds; the Windows console build
// says it has no line mode.
int CommandLine(const CliOptions& options, CliEnvironment& env);

// A station's seat on its line (station --line), as the station loop uses
// it. Nothing here waits on the broker.
class CLineSeat {
public:
    virtual ~CLineSeat() = default;
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

// Joins the line named by --line with the image and its signature; null with
// the exit code in exit (the reason is on stderr) when it could not.
std::unique_ptr<CLineSeat> JoinLine(const CliOptions& options, const ImageCheck& check, const ImageTrust& trust,
                                    CliEnvironment& env, int& exit);
