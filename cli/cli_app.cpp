#include "cli/cli_app.h"

#include <chrono>
#include <memory>
#include <system_error>

#include "base/output_file.h"
#include "base/output_queue.h"
#include "base/process_identity.h"
#include "base/record_file.h"
#include "cli/cli_args.h"
#include "cli/commands.h"
#include "cli/line_commands.h"
#include "cli/udev_rule.h"
#include "device/host_stack.h"
#include "device/recording_host.h"
#include "res/app_name.h"
#include "run/device_list.h"
#include "run/exit_codes.h"
#include "run/image_trust.h"
#include "run/progress_output.h"
#include "run/run_records.h"
#include "run/station.h"

namespace {

// Says why the host stack could not be built; the exit code. flash and
// station --json end with a result event, however early.
int ReportStackFault(const HostStackError& error, const CliOptions& options, CliEnvironment& env)
{
    const CliExit openExit = error.bFifoWithoutReader ? kExitUsage : kExitError;
    std::string text;
    CliExit exit = kExitUsage;
    switch (error.fault) {
    case HostStackFault::BadScenario:
        text = "bad emulator scenario '" + options.strScenario + "': " + error.strDetail;
        PrintError(env, text);
        *env.pErr << "Try '" << kCliProgramName << " --help'.\n";
        return options.command == CliCommand::List ? kExitUsage : EarlyEnd(options, env, kExitUsage, text);
    case HostStackFault::TranscriptIsImage:
        text = "the transcript file is the image itself: " + *options.transcript;
        break;
    case HostStackFault::TranscriptNotOpened:
        text = "cannot open the transcript file " + *options.transcript + ": " + error.strDetail;
        exit = openExit;
        break;
    case HostStackFault::LogIsImage:
        text = "the log file is the image itself: " + *options.log;
        break;
    case HostStackFault::LogIsTranscript:
        text = "the log and the transcript are one file: " + *options.log;
        break;
    case HostStackFault::LogNotOpened:
        text = "cannot open the log file " + *options.log + ": " + error.strDetail;
        exit = openExit;
        break;
    case HostStackFault::NoPlatformHost:
    case HostStackFault::None:
        text = "the device access of this system could not be set up";
        exit = kExitError;
        break;
    }
    const bool sendsNothing = error.fault != HostStackFault::TranscriptNotOpened &&
                              error.fault != HostStackFault::LogNotOpened && exit == kExitUsage;
    PrintError(env, sendsNothing ? text + "; nothing was sent" : text);
    return options.command == CliCommand::List ? exit : EarlyEnd(options, env, exit, text);
}

std::unique_ptr<IOutputSink> SinkFor(const CliEnvironment& env, int fd, std::ostream* stream, const char* name)
{
    if (!env.bStandardStreams)
        return std::make_unique<COstreamSink>(*stream);
    auto file = std::make_unique<COutputFile>();
    file->Adopt(fd, name);
    return std::make_unique<CFileSink>(std::move(file));
}

// The records of a run: opened by the host stack, closed once the run is over.
struct RunFiles {
    CRecordFile log;
    CRecordFile transcript;
};

int RunCommand(const std::vector<std::string>& args, CliEnvironment& env, RunFiles& files)
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

    // An image that is not to be trusted is refused before any device, or
    // any record of a run, exists.
    ImageTrust trust;
    if (options.command == CliCommand::Flash || options.command == CliCommand::Station) {
        trust = CheckImageTrust(options);
        if (trust.exit != kExitSuccess) {
            PrintError(env, trust.strError + "; nothing was sent");
            return EarlyEnd(options, env, trust.exit, trust.strError);
        }
        if (trust.bChecked)
            PrintError(env, ImageTrustText(trust));
        if (trust.revision && !options.bAllowOlder)
            options.expected.newestRevision = trust.revision;
    }

    // Before the first device command: a signal during the listing or the
    // survey is then the tool's to answer, not the default end at once.
    if (env.armInterrupt)
        env.armInterrupt();

    SystemClock systemClock;
    IClock* clock = env.pClock ? env.pClock : &systemClock;

    // Every command goes through the recording layer, log or not, so a
    // failure can name the sense the device answered with; the log is opened
    // before the first command, so it holds every one.
    const std::string runId = NewRunId();
    HostStackSpec spec;
    spec.pHost = env.pHost;
    spec.bEmulate = options.bEmulate;
    spec.strScenario = options.strScenario;
    spec.pClock = clock;
    spec.strImage = options.strImage;
    spec.strRun = runId;
    CRecordFile* transcript = options.transcript && options.bEmulate && !env.pHost ? &files.transcript : nullptr;
    if (transcript) {
        spec.strTranscript = *options.transcript;
        spec.pTranscript = transcript;
    }
    CRecordFile* log = options.log ? &files.log : nullptr;
    if (log) {
        spec.strLog = *options.log;
        spec.pLog = log;
    }
    spec.bAlwaysRecord = true;
    CHostStack stack;
    HostStackError stackError;
    const bool bBuilt = stack.Build(spec, stackError);
    // A success on the emulated bench must never pass for one on a device.
    if (stack.IsEmulated())
        PrintError(env, "emulated devices (--emulate): no real device is used");
    if (!bBuilt)
        return ReportStackFault(stackError, options, env);
    CRecordingHost& recorder = *stack.Recorder();

    CRunRecords records(options, env, log, transcript, recorder, runId);
    records.SetImageTrust(trust);
    const bool announce = options.command == CliCommand::Station || options.command == CliCommand::Flash;
    const char* command = options.command == CliCommand::List       ? "list"
                          : options.command == CliCommand::Station  ? "station"
                          : options.command == CliCommand::UdevRule ? "udev-rule"
                                                                    : "flash";
    if (!records.Begin(command, announce)) {
        const CliExit exit = env.Interrupted() ? kExitInterrupted : kExitError;
        return options.command == CliCommand::List
                   ? exit
                   : EarlyEnd(options, env, exit, "the run's start could not be recorded");
    }
    switch (options.command) {
    case CliCommand::List:
        return records.Settle(CommandList(options, recorder, env));
    case CliCommand::Station:
        return CommandStation(options, recorder, *clock, env, records,
                              [&](const ImageCheck& check, const ImageTrust& trust, int& exit) {
                                  return JoinLine(options, check, trust, env, exit);
                              });
    case CliCommand::UdevRule:
        return records.Settle(CommandUdevRule(options, recorder, env));
    default:
        return CommandFlash(options, recorder, *clock, env, records);
    }
}

}  // namespace

int RunCli(const std::vector<std::string>& args, CliEnvironment& env)
{
    COutputQueue outQueue(SinkFor(env, 1, env.pOut, "standard output"));
    COutputQueue errQueue(SinkFor(env, 2, env.pErr, "standard error"));
    COutputQueueStream out(outQueue);
    COutputQueueStream err(errQueue);
    CliEnvironment run = env;
    run.pOut = &out;
    run.pErr = &err;
    run.pOutQueue = &outQueue;
    run.pErrQueue = &errQueue;
    RunFiles files;
    int exit = RunCommand(args, run, files);
    out.flush();
    err.flush();

    // The devices are done; an output whose reader does not read is waited
    // for, and given up on at Ctrl-C.
    const std::function<bool()> stop = StopWaitingForReader(run);
    // What the records lost was told when the command settled them.
    for (CRecordFile* file : {&files.log, &files.transcript}) {
        if (file->IsOpen() && !file->Close(stop) && exit == kExitSuccess)
            exit = kExitError;
    }
    if (!outQueue.Close(stop)) {
        if (!outQueue.Failed()) {
            err << kCliProgramName << ": "
                << "standard output was not read to its end: " << outQueue.Pending()
                << " bytes of records were not written" << '\n';
        } else if (exit == kExitSuccess) {
            err << kCliProgramName << ": " << kErrOutputLost << '\n';
        }
        exit = exit == kExitSuccess ? kExitError : exit;
    }
    err.flush();
    errQueue.Close(stop);
    return exit;
}
