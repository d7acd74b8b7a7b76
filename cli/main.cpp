#ifndef _WIN32
#include <signal.h>
#endif

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
    // Written by descriptor from threads of their own: a reader that does
    // not read never holds a device, and the end of the process never waits
    // on a stream's lock.
    env.bStandardStreams = true;
    env.bErrIsTerminal = StderrIsLiveTerminal();
    env.terminalColumns = StderrColumns;
    env.pInterrupt = &interrupt;
    env.armInterrupt = [&]() { watch = std::make_unique<CInterruptWatch>(interrupt); };
    env.makeSleepInhibitor = []() { return CreatePlatformSleepInhibitor(kCliProgramName); };
    // A writer RunCli gave up on may still wait on its reader; it touches
    // nothing the end of the process takes away, which does not wait for it.
    return RunCli(args, env);
}
