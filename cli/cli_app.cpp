#include "cli/cli_app.h"

#include <memory>
#include <system_error>

#include "cli/cli_args.h"
#include "cli/commands.h"
#include "cli/device_list.h"
#include "cli/exit_codes.h"
#include "cli/line_commands.h"
#include "cli/log_file.h"
#include "cli/run_records.h"
#include "cli/station.h"
#include "cli/transcript_file.h"
#include "cli/udev_rule.h"
#include "device/host_stack.h"
#include "device/recording_host.h"
#include "res/app_name.h"

namespace {

constexpr char kErrTranscriptIsImage[] = "the transcript file is the image itself: ";
constexpr char kErrNothingSent[] = "; nothing was sent";
constexpr char kNoteEmulated[] = "emulated devices (--emulate): no real device is used";
constexpr char kErrLogOpen[] = "cannot open the log file ";
constexpr char kErrLogIsImage[] = "the log file is the image itself: ";
constexpr char kErrNoPlatformHost[] = "the device access of this system could not be set up";

// Says why the host stack could not be built; the exit code.
int ReportStackFault(const HostStackError& error, const CliOptions& options, CliEnvironment& env)
{
    const auto openExit = [&error]() { return error.bFifoWithoutReader ? kExitUsage : kExitError; };
    switch (error.fault) {
    case HostStackFault::BadScenario: {
        const std::string text = "bad emulator scenario '" + options.strScenario + "': " + error.strDetail;
        PrintError(env, text);
        *env.pErr << "Try '" << kCliProgramName << " --help'.\n";
        // flash and station --json end with a result event, however early.
        if (options.command == CliCommand::List)
            return kExitUsage;
        return EarlyEnd(options, env, kExitUsage, text);
    }
    case HostStackFault::TranscriptIsImage:
        PrintError(env, kErrTranscriptIsImage + *options.transcript + kErrNothingSent);
        return kExitUsage;
    case HostStackFault::TranscriptNotOpened:
        PrintError(env, "cannot open the transcript file " + *options.transcript + ": " + error.strDetail);
        return openExit();
    case HostStackFault::LogIsImage:
        PrintError(env, kErrLogIsImage + *options.log + kErrNothingSent);
        return kExitUsage;
    case HostStackFault::LogNotOpened:
        PrintError(env, kErrLogOpen + *options.log + ": " + error.strDetail);
        return openExit();
    case HostStackFault::NoPlatformHost:
    case HostStackFault::None:
        break;
    }
    PrintError(env, kErrNoPlatformHost);
    return kExitError;
}

}  // namespace

void PrintError(CliEnvironment& env, const std::string& text)
{
    *env.pErr << kCliProgramName << ": " << text << '\n';
    env.pErr->flush();
}

int RunCli(const std::vector<std::string>& args, CliEnvironment& env)
{
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
    case CliCommand::Line:
        return CommandLine(options, env);
    default:
        break;
    }

    // Before the first device command: a signal during the listing or the
    // survey is then the tool's to answer, not the default end at once.
    if (env.armInterrupt)
        env.armInterrupt();

    std::unique_ptr<SystemClock> systemClock;
    IClock* clock = env.pClock;
    if (!clock) {
        systemClock = std::make_unique<SystemClock>();
        clock = systemClock.get();
    }

    // Every command goes through the recording layer, log or not, so a
    // failure can name the sense the device answered with; the log is opened
    // before the first command, so it holds every one.
    HostStackSpec spec;
    spec.pHost = env.pHost;
    spec.bEmulate = options.bEmulate;
    spec.strScenario = options.strScenario;
    spec.pClock = clock;
    spec.strImage = options.strImage;
    CTranscriptFile transcript;
    const bool bTranscript = options.transcript && options.bEmulate && !env.pHost;
    if (bTranscript) {
        spec.strTranscript = *options.transcript;
        spec.pTranscript = &transcript;
    }
    CLogFile log;
    if (options.log) {
        spec.strLog = *options.log;
        spec.pLog = &log;
    }
    spec.bAlwaysRecord = true;
    CHostStack stack;
    HostStackError stackError;
    const bool bBuilt = stack.Build(spec, stackError);
    // A success on the emulated bench must never pass for one on a device.
    if (stack.IsEmulated())
        PrintError(env, kNoteEmulated);
    if (!bBuilt)
        return ReportStackFault(stackError, options, env);
    CRecordingHost& recorder = *stack.Recorder();

    CTranscriptFile* pTranscript = bTranscript ? &transcript : nullptr;
    CRunRecords records(options, env, options.log ? &log : nullptr, recorder);
    int exit;
    switch (options.command) {
    case CliCommand::List:
        exit = CommandList(options, recorder, env, pTranscript);
        break;
    case CliCommand::Station:
        exit = FinishTranscript(options, env, pTranscript,
                                CommandStation(options, recorder, *clock, env, records, pTranscript));
        break;
    case CliCommand::UdevRule:
        exit = FinishTranscript(options, env, pTranscript, CommandUdevRule(options, recorder, env));
        break;
    default:
        exit = CommandFlash(options, recorder, *clock, env, pTranscript, records);
        break;
    }
    // The run's own result stands; only a success is no longer one, since
    // its record is incomplete.
    records.SyncLog();
    return records.Exit(exit);
}
