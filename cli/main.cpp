#ifndef _WIN32
#include <signal.h>
#endif

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli_app.h"
#include "cli/interrupt.h"

int main(int argc, char** argv) {
#ifndef _WIN32
    // A reader that goes away (| head) must not end the process in the
    // middle of a transfer; the output is lost, the flash goes on.
    signal(SIGPIPE, SIG_IGN);
#endif
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::unique_ptr<CInterruptWatch> watch;
    static std::atomic<bool> notArmed{false};

    CliEnvironment env;
    env.pOut = &std::cout;
    env.pErr = &std::cerr;
    env.bErrIsTerminal = StderrIsLiveTerminal();
    env.pInterrupt = &notArmed;
    env.armInterrupt = [&]() {
        watch = std::make_unique<CInterruptWatch>();
        env.pInterrupt = &watch->Flag();
    };
    const int exit = RunCli(args, env);
    std::cout.flush();
    return exit;
}
