#pragma once
#include <string>

#include "cli/cli_app.h"
#include "cli/cli_args.h"
#include "cli/device_list.h"

// Where the rule that udev-rule prints is meant to go: after the package's
// own rule (60-), so the local one has the last word for its drive.
constexpr char kLocalUdevRulePath[] = "/etc/udev/rules.d/61-kt3916flash-local.rules";

// An INQUIRY text as a udev match value that matches that text and nothing
// else: udev reads the value as a glob, so *, ? and [ are bracketed. False
// with the reason in error when the text cannot be written so: it is empty,
// or holds a quote, a backslash, |, $, %, a control or a non-ASCII byte.
bool QuoteUdevMatch(const std::string& text, std::string& quoted, std::string& error);

// The udev rule (with its comment) that gives the group plugdev read-write
// access to the sg and sr nodes of drives with the device's vendor and
// product; false with the reason in error when either cannot be quoted.
bool FormatUdevRule(const ListedDevice& device, std::string& rule, std::string& error);

// udev-rule --device DEV: the rule for that drive's identity on stdout.
int CommandUdevRule(const CliOptions& options, IScsiHost& host, CliEnvironment& env);
