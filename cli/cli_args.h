#pragma once
#include <string>
#include <vector>

#include "run/run_options.h"

// args without the program name. Options may stand before or after the
// command; "--" ends them. --help and --version win over everything else.
// False with the reason in error for anything malformed.
bool ParseCliArguments(const std::vector<std::string>& args, CliOptions& options, std::string& error);

// The --help text.
std::string CliUsageText();
