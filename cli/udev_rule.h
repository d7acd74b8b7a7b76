#pragma once
#include <string>

#include "run/device_list.h"
#include "run/run_environment.h"
#include "run/run_options.h"

// An INQUIRY text as a udev match value that matches that text and nothing
// else: udev reads the value as a glob, so *, ? and [ are bracketed. False
// with the reason in error when the text cannot be written so: it is empty,
// or holds a quote, a backslash, |, $, %, a control or a non-ASCII byte.
bool QuoteUdevMatch(const std::string& text, std::string& quoted, std::string& error);

// udev-rule --device DEV: the rule for that drive's identity on stdout.
int CommandUdevRule(const CliOptions& options, IScsiHost& host, CliEnvironment& env);
