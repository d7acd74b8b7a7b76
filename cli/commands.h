#pragma once
#include "cli/cli_app.h"
#include "cli/cli_args.h"

int CommandInfo(const CliOptions& options, CliEnvironment& env);
class CTranscriptFile;

// transcript: the --transcript file the host writes to, or null.
int CommandList(const CliOptions& options, IScsiHost& host, CliEnvironment& env, CTranscriptFile* transcript);
int CommandFlash(const CliOptions& options, IScsiHost& host, IClock& clock, CliEnvironment& env,
                 CTranscriptFile* transcript);

// Prints "kt3916flash-cli: text" on stderr.
void PrintError(CliEnvironment& env, const std::string& text);
