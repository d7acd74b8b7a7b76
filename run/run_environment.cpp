#include "run/run_environment.h"

void PrintError(CliEnvironment& env, const std::string& text)
{
    *env.pErr << kCliProgramName << ": " << text << '\n';
}
