#pragma once
#include "cli/cli_app.h"
#include "cli/cli_args.h"
#include "cli/flash_session.h"
#include "cli/image_check.h"

int CommandInfo(const CliOptions& options, CliEnvironment& env);
class CRunRecords;
struct UnitEnd;

int CommandList(const CliOptions& options, IScsiHost& host, CliEnvironment& env);
int CommandFlash(const CliOptions& options, IScsiHost& host, IClock& clock, CliEnvironment& env,
                 CRunRecords& runRecords);

// The part of a flash job that is the same for every device of the run:
// the caller adds the drive, its node and hold, and the observer. The unit's
// start is recorded before its transfer; once the device took the final
// block, the transcript and the log are put on the disk, so a power cut
// during the restart keeps the record of what was sent; its end hands them
// to the disk again.
FlashJob MakeFlashJob(const CliOptions& options, const ImageCheck& check, IScsiHost& host, IClock& clock,
                      CliEnvironment& env, CRunRecords& records);

// A flashed (or skipped) device's end record; identity: as its INQUIRY
// answered, empty for the form's own.
UnitEnd UnitEndOf(const FlashRecord& record, const std::string& identity);

// --json runs of flash and station end with a result event even when no form
// ran; record holds what is known of the device. Returns exit.
int EarlyEnd(const CliOptions& options, CliEnvironment& env, CliExit exit, const std::string& error,
             FlashRecord record = {});

// Prints "kt3916flash-cli: text" on stderr.
void PrintError(CliEnvironment& env, const std::string& text);
// Says on stderr why each drive the system has could not be opened, where
// the host can tell.
void PrintOpenProblems(CliEnvironment& env, IScsiHost& host);
