#pragma once
#include "cli/cli_app.h"
#include "cli/cli_args.h"
#include "device/emulated/clock.h"
#include "device/host.h"

class CTranscriptFile;

// Unattended flashing: checks the image once, then waits for devices. Each
// unit that appears and matches --expect-identity is flashed once (several
// at once when several appear) and gets one result line; a unit is flashed
// again only after it has gone away and come back. Runs until Ctrl-C, or
// until --units N units have ended; the exit code says whether any failed.
// transcript: the --transcript file the host writes to, or null.
int CommandStation(const CliOptions& options, IScsiHost& host, IClock& clock, CliEnvironment& env,
                   CTranscriptFile* transcript = nullptr);
