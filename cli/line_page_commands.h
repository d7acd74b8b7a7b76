#pragma once
#include "run/run_environment.h"
#include "run/run_options.h"

struct MqttSettings;

// line serve: the line's page of --db, with the stations' status when line
// names the line's broker (null: from the records alone).
int CommandLineServe(const CliOptions& options, CliEnvironment& env, const MqttSettings* line);
// line report: the page's figures of --since..--until on stdout.
int CommandLineReport(const CliOptions& options, CliEnvironment& env);
