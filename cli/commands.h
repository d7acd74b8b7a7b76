#pragma once
#include <functional>

#include "cli/cli_app.h"
#include "cli/cli_args.h"
#include "cli/flash_session.h"
#include "cli/image_check.h"

int CommandInfo(const CliOptions& options, CliEnvironment& env);
class CTranscriptFile;
class CRunRecords;

// transcript: the --transcript file the host writes to, or null.
int CommandList(const CliOptions& options, IScsiHost& host, CliEnvironment& env, CTranscriptFile* transcript);
int CommandFlash(const CliOptions& options, IScsiHost& host, IClock& clock, CliEnvironment& env,
                 CTranscriptFile* transcript, CRunRecords& runRecords);

// One device's flash job from the command line and the checked image. Once
// the device took the final block, the transcript (when there is one) and the
// log are put on the disk, so a power cut during the restart keeps the record
// of what was sent; its end hands the log to the disk again.
FlashJob MakeFlashJob(const CliOptions& options, const ImageCheck& check, IScsiHost& host, IClock& clock,
                      IFlashObserver* observer, CliEnvironment& env, char drive, const std::string& node,
                      CRunRecords& records, CTranscriptFile* transcript);

// Closes the transcript at the end of a command: a file that failed during
// the run turns a success into kExitError and says so.
int FinishTranscript(const CliOptions& options, CliEnvironment& env, CTranscriptFile* transcript, int exit);

// --json runs of flash and station end with a result event even when no form
// ran; record holds what is known of the device. Returns exit.
int EarlyEnd(const CliOptions& options, CliEnvironment& env, CliExit exit, const std::string& error,
             FlashRecord record = {});

// "cannot write the transcript file PATH: reason", for a file that failed.
std::string TranscriptUnwritable(const CTranscriptFile& transcript);

// Prints "kt3916flash-cli: text" on stderr.
void PrintError(CliEnvironment& env, const std::string& text);
