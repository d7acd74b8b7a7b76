#include "cli/cli_app.h"

#include <memory>

#include "cli/cli_args.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/transcript_file.h"
#include "console/file_identity.h"
#include "device/emulated/emulated_host.h"
#include "device/emulated/scenario.h"
#include "res/app_name.h"

namespace {

constexpr char kErrTranscriptIsImage[] = "the transcript file is the image itself: ";
constexpr char kErrNothingSent[] = "; nothing was sent";
constexpr char kNoteEmulated[] = "emulated devices (--emulate): no real device is used";

}  // namespace

void PrintError(CliEnvironment& env, const std::string& text) {
    *env.pErr << kCliProgramName << ": " << text << '\n';
    env.pErr->flush();
}

int RunCli(const std::vector<std::string>& args, CliEnvironment& env) {
    CliOptions options;
    std::string error;
    if (!ParseCliArguments(args, options, error)) {
        PrintError(env, error);
        *env.pErr << "Try '" << kCliProgramName << " --help'.\n";
        return kExitUsage;
    }
    switch (options.command) {
    case CliCommand::Help:
        *env.pOut << CliUsageText();
        return kExitSuccess;
    case CliCommand::Version:
        *env.pOut << kCliProgramName << " " << KT_APP_VERSION_TEXT << '\n';
        return kExitSuccess;
    case CliCommand::Info:
        return CommandInfo(options, env);
    default:
        break;
    }

    // Before the first device command: a signal during the listing or the
    // survey is then the tool's to answer, not the default end at once.
    if (env.armInterrupt) env.armInterrupt();

    std::unique_ptr<SystemClock> systemClock;
    IClock* clock = env.pClock;
    if (!clock) {
        systemClock = std::make_unique<SystemClock>();
        clock = systemClock.get();
    }

    std::unique_ptr<IScsiHost> ownHost;
    CTranscriptFile transcript;
    IScsiHost* host = env.pHost;
    if (!host && options.bEmulate) {
        EmulatorScenario scenario;
        if (!ParseScenario(options.strScenario, scenario, error)) {
            PrintError(env, "bad emulator scenario '" + options.strScenario + "': " + error);
            *env.pErr << "Try '" << kCliProgramName << " --help'.\n";
            return kExitUsage;
        }
        if (options.transcript) {
            // Appending records to the firmware would corrupt it; names can
            // differ (links, another spelling), the file's identity cannot.
            if (options.command == CliCommand::Flash && IsSameFile(*options.transcript, options.strImage)) {
                PrintError(env, kErrTranscriptIsImage + *options.transcript + kErrNothingSent);
                return kExitUsage;
            }
            if (!transcript.Open(*options.transcript)) {
                PrintError(env, "cannot open the transcript file " + *options.transcript + ": " +
                                    transcript.ErrorText());
                return kExitError;
            }
        }
        ownHost = std::make_unique<EmulatedHost>(scenario, *clock,
                                                 options.transcript ? &transcript.Stream() : nullptr);
        host = ownHost.get();
        // A success on the emulated bench must never pass for one on a device.
        PrintError(env, kNoteEmulated);
    }
    if (!host) {
        ownHost = CreatePlatformHost();
        host = ownHost.get();
    }

    CTranscriptFile* pTranscript = options.transcript && ownHost ? &transcript : nullptr;
    if (options.command == CliCommand::List) return CommandList(options, *host, env, pTranscript);
    return CommandFlash(options, *host, *clock, env, pTranscript);
}
