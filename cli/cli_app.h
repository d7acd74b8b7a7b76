#pragma once
#include <string>
#include <vector>

#include "run/run_environment.h"

// Runs one command line (without the program name); returns the exit code.
int RunCli(const std::vector<std::string>& args, CliEnvironment& env);
