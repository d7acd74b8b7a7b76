#pragma once
#include "base/clock.h"
#include "cli/cli_app.h"
#include "cli/cli_args.h"
#include "device/host.h"

// Unattended flashing: checks the image once, then waits for devices. Each
// unit that appears and matches --expect-identity is flashed once (several
// at once when several appear) and gets one result line; a unit is flashed
// again only after it has gone away and come back. Runs until Ctrl-C, or
// until --units N units have ended; the exit code says whether any failed
// (RunExit). An image that changes on the way stops the station, as does a
// record that cannot be written (the log, the transcript, stdout); units in
// progress always end first. At its start it reports the units its log shows
// started and never ended (a crash, a power cut).
class CRunRecords;
int CommandStation(const CliOptions& options, IScsiHost& host, IClock& clock, CliEnvironment& env,
                   CRunRecords& records);
