#pragma once
#include <memory>
#include <string>

#include "run/run_environment.h"
#include "run/run_options.h"
#include "run/station.h"

struct ImageCheck;
struct ImageTrust;

// line approve | watch | collect. Linux builds; the Windows console build
// says it has no line mode.
int CommandLine(const CliOptions& options, CliEnvironment& env);

// Joins the line named by --line with the image and its signature; null with
// the exit code in exit (the reason is on stderr) when it could not.
std::unique_ptr<ILineLink> JoinLine(const CliOptions& options, const ImageCheck& check, const ImageTrust& trust,
                                    CliEnvironment& env, int& exit);
