#include "cli/cli_app.h"

#include <memory>
#include <system_error>

#include "cli/cli_args.h"
#include "cli/commands.h"
#include "cli/device_list.h"
#include "cli/exit_codes.h"
#include "cli/log_file.h"
#include "cli/run_records.h"
#include "cli/station.h"
#include "cli/transcript_file.h"
#include "cli/udev_rule.h"
#include "console/file_identity.h"
#include "device/emulated/emulated_host.h"
#include "device/emulated/scenario.h"
#include "device/recording_host.h"
#include "res/app_name.h"

namespace {

constexpr char kErrTranscriptIsImage[] = "the transcript file is the image itself: ";
constexpr char kErrNothingSent[] = "; nothing was sent";
constexpr char kNoteEmulated[] = "emulated devices (--emulate): no real device is used";
constexpr char kErrLogOpen[] = "cannot open the log file ";
constexpr char kErrLogIsImage[] = "the log file is the image itself: ";

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

    std::unique_ptr<IScsiHost> ownHost;
    CTranscriptFile transcript;
    IScsiHost* host = env.pHost;
    if (!host && options.bEmulate) {
        EmulatorScenario scenario;
        if (!ParseScenario(options.strScenario, scenario, error)) {
            const std::string text = "bad emulator scenario '" + options.strScenario + "': " + error;
            PrintError(env, text);
            *env.pErr << "Try '" << kCliProgramName << " --help'.\n";
            // flash and station --json end with a result event, however early.
            if (options.command == CliCommand::List)
                return kExitUsage;
            return EarlyEnd(options, env, kExitUsage, text);
        }
        if (options.transcript) {
            // Appending records to the firmware would corrupt it; names can
            // differ (links, another spelling), the file's identity cannot.
            if (!options.strImage.empty() && IsSameFile(*options.transcript, options.strImage)) {
                PrintError(env, kErrTranscriptIsImage + *options.transcript + kErrNothingSent);
                return kExitUsage;
            }
            if (!transcript.Open(*options.transcript)) {
                PrintError(env,
                           "cannot open the transcript file " + *options.transcript + ": " + transcript.ErrorText());
                return transcript.FifoWithoutReader() ? kExitUsage : kExitError;
            }
        }
        ownHost = std::make_unique<EmulatedHost>(scenario, *clock, options.transcript ? &transcript.Stream() : nullptr);
        host = ownHost.get();
        // A success on the emulated bench must never pass for one on a device.
        PrintError(env, kNoteEmulated);
    }
    if (!host) {
        ownHost = CreatePlatformHost();
        host = ownHost.get();
    }

    // Opened before the first command, so the log holds every one; every
    // command goes through the recording layer, log or not, so a failure
    // can name the sense the device answered with.
    CLogFile log;
    if (options.log) {
        if (!options.strImage.empty() && IsSameFile(*options.log, options.strImage)) {
            PrintError(env, kErrLogIsImage + *options.log + kErrNothingSent);
            return kExitUsage;
        }
        if (!log.Open(*options.log)) {
            PrintError(env, kErrLogOpen + *options.log + ": " + log.ErrorText());
            return log.FifoWithoutReader() ? kExitUsage : kExitError;
        }
    }
    RecordingOptions recording;
    recording.pLog = options.log ? &log.Stream() : nullptr;
    recording.nodeName = [host](char drive) { return DeviceNodeText(*host, drive); };
    CRecordingHost recorder(*host, std::move(recording));

    CTranscriptFile* pTranscript = options.transcript && ownHost ? &transcript : nullptr;
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
