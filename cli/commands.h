#pragma once
#include <functional>

#include "cli/cli_app.h"
#include "cli/cli_args.h"
#include "cli/flash_session.h"
#include "cli/image_check.h"

int CommandInfo(const CliOptions& options, CliEnvironment& env);
class CTranscriptFile;

// transcript: the --transcript file the host writes to, or null.
int CommandList(const CliOptions& options, IScsiHost& host, CliEnvironment& env, CTranscriptFile* transcript);
int CommandFlash(const CliOptions& options, IScsiHost& host, IClock& clock, CliEnvironment& env,
                 CTranscriptFile* transcript);

// One device's flash job from the command line and the checked image.
FlashJob MakeFlashJob(const CliOptions& options, const ImageCheck& check, IScsiHost& host, IClock& clock,
                      IFlashObserver* observer, CliEnvironment& env, char drive, const std::string& node);

// What a job runs after its final block: the transcript, when there is one,
// is put on the disk.
std::function<void()> SyncAfterFinalBlock(CTranscriptFile* transcript);

// Closes the transcript at the end of a command: a file that failed during
// the run turns a success into kExitError and says so.
int FinishTranscript(const CliOptions& options, CliEnvironment& env, CTranscriptFile* transcript, int exit);

// Prints "kt3916flash-cli: text" on stderr.
void PrintError(CliEnvironment& env, const std::string& text);
