#pragma once
#include <string>

// What tells one run of the tool from another in a record several stations
// share: the machine, the process, and an id of the run's own.
std::string HostName();
unsigned long ProcessId();
// 16 lower-case hex digits, drawn afresh for every run.
std::string NewRunId();
