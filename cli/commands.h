#pragma once
#include "run/run_environment.h"
#include "run/run_options.h"

class CRunRecords;

int CommandInfo(const CliOptions& options, CliEnvironment& env);

int CommandList(const CliOptions& options, IScsiHost& host, CliEnvironment& env);
int CommandFlash(const CliOptions& options, IScsiHost& host, IClock& clock, CliEnvironment& env,
                 CRunRecords& runRecords);
