#pragma once
#include "cli/cli_app.h"
#include "cli/cli_args.h"

int CommandInfo(const CliOptions& options, CliEnvironment& env);
int CommandList(const CliOptions& options, IScsiHost& host, CliEnvironment& env);
int CommandFlash(const CliOptions& options, IScsiHost& host, IClock& clock, CliEnvironment& env);

// Prints "kt3916flash-cli: text" on stderr.
void PrintError(CliEnvironment& env, const std::string& text);
