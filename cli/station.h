#pragma once
#include "cli/cli_app.h"
#include "cli/cli_args.h"
#include "device/clock.h"
#include "device/host.h"

class CTranscriptFile;

// Unattended flashing: checks the image once, then waits for devices. Each
// unit that appears and matches --expect-identity is flashed once (several
// at once when several appear) and gets one result line; a unit is flashed
// again only after it has gone away and come back. Runs until Ctrl-C, or
// until --units N units have ended; the exit code says whether any failed.
// An image that changes on the way stops the station (exit 4), as does a
// record that cannot be written (exit 1 unless a unit failed): the run's
// records, or the --transcript file the host writes to (transcript, or null);
// units in progress always end first.
class CRunRecords;
class CTranscriptFile;
int CommandStation(const CliOptions& options, IScsiHost& host, IClock& clock, CliEnvironment& env, CRunRecords& records,
                   CTranscriptFile* transcript);
