#ifndef _WIN32
#include <signal.h>
#endif

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli_app.h"
#include "cli/interrupt.h"

int main(int argc, char** argv)
{
#ifndef _WIN32
    // A reader that goes away (| head), or a transcript past the file size
    // limit, must not end the process in the middle of a transfer; the
    // write fails, the flash goes on and the failure is reported at the end.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
#endif
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    // The flag outlives the watch that raises it.
    CInterruptFlag interrupt;
    std::unique_ptr<CInterruptWatch> watch;

    CliEnvironment env;
    env.pOut = &std::cout;
    env.pErr = &std::cerr;
    env.bErrIsTerminal = StderrIsLiveTerminal();
    env.terminalColumns = StderrColumns;
    env.pInterrupt = &interrupt;
    env.armInterrupt = [&]() { watch = std::make_unique<CInterruptWatch>(interrupt); };
    env.makeSleepInhibitor = []() { return CreatePlatformSleepInhibitor(kCliProgramName); };
    const int exit = RunCli(args, env);
    // What was still buffered goes now; records lost here make no success.
    if (!std::cout.flush() && exit == 0) {
        std::cerr << kCliProgramName << ": standard output could not be written: records were lost\n";
        return 1;
    }
    return exit;
}
