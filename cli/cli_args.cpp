#include "cli/cli_args.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "base/fail_with.h"
#include "res/app_name.h"
#include "run/exit_codes.h"
#include "run/identity_guard.h"

namespace {

constexpr unsigned long kMaxStationUnits = 100000;

// A tick number: plain decimal digits, no sign. A number of any length is
// still a number: one past the limit gets the limit's message, so it is
// kept as the limit's next tick rather than overflowing.
bool ParseTick(const std::string& text, int32_t& tick)
{
    if (text.empty())
        return false;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = std::min<int64_t>(value * 10 + (c - '0'), kLongestPollWindowEnd + 1);
    }
    tick = static_cast<int32_t>(value);
    return true;
}

// "FIRST..LAST": the verification ticks (one second apart) that ask the device.
bool ParsePollWindow(const std::string& text, VerifyWindow& window, std::string& error)
{
    const size_t dots = text.find("..");
    if (dots == std::string::npos || !ParseTick(text.substr(0, dots), window.nFirstInquiryTick) ||
        !ParseTick(text.substr(dots + 2), window.nLastTick)) {
        return FailWith(error,
                        "--poll-window takes FIRST..LAST, ticks of one second such as 13..30, not '" + text + "'");
    }
    if (window.nFirstInquiryTick < kFirstInquiryTick) {
        error = "--poll-window cannot start before tick " + std::to_string(kFirstInquiryTick) +
                ": until then the device writes its flash and must not be asked";
    } else if (window.nLastTick < window.nFirstInquiryTick) {
        error = "--poll-window " + text + " ends before it starts";
    } else if (window.nLastTick > kLongestPollWindowEnd) {
        error = "--poll-window ends at tick " + std::to_string(kLongestPollWindowEnd) +
                " (ten minutes) at the latest, not " + text.substr(dots + 2);
    }
    return error.empty();
}

// An INQUIRY text to compare with: trailing blanks do not count, and one
// longer than its INQUIRY field can never match.
bool TakeInquiryText(const std::string& name, const std::string& value, size_t longest, const char* field,
                     std::optional<std::string>& out, std::string& error)
{
    const std::string text = WithoutTrailingBlanks(value);
    if (text.empty())
        return FailWith(error, "option '" + name + "' needs a value");
    if (text.size() > longest)
        return FailWith(error, name + " '" + text + "' is longer than " + field);
    out = text;
    return true;
}

constexpr size_t kLongestIdentity = 8 + 1 + 16;
constexpr size_t kLongestRevision = 4;
constexpr char kIdentityField[] = "an INQUIRY vendor (8), a blank and a product (16)";
constexpr char kRevisionField[] = "an INQUIRY revision (4 characters)";

// The commands, as bits of the set an option is for; the line's actions take
// different options, so each is a command of its own.
enum CommandBits : unsigned {
    kList = 1u << 0,
    kInfo = 1u << 1,
    kFlash = 1u << 2,
    kStation = 1u << 3,
    kUdevRule = 1u << 4,
    kLineApprove = 1u << 5,
    kLineWatch = 1u << 6,
    kLineCollect = 1u << 7,
    kLineServe = 1u << 8,
    kLineReport = 1u << 9,
    kLine = kLineApprove | kLineWatch | kLineCollect | kLineServe | kLineReport,
    kEveryCommand = kList | kInfo | kFlash | kStation | kUdevRule | kLine,
};

// In the order "--x is for ... only" names them; a name that stands for all
// the commands after it ("line") comes before them.
constexpr struct {
    const char* name;
    unsigned bits;
} kCommandNames[] = {
    {"list", kList},
    {"info", kInfo},
    {"flash", kFlash},
    {"station", kStation},
    {"udev-rule", kUdevRule},
    {"line", kLine},
    {"line approve", kLineApprove},
    {"line watch", kLineWatch},
    {"line collect", kLineCollect},
    {"line serve", kLineServe},
    {"line report", kLineReport},
};

// "'flash' and 'station'": the commands of bits.
std::string CommandsText(unsigned bits)
{
    std::string text;
    for (const auto& command : kCommandNames) {
        if ((bits & command.bits) != command.bits)
            continue;
        text += (text.empty() ? "'" : " and '") + std::string(command.name) + "'";
        bits &= ~command.bits;
    }
    return text;
}

enum class ValueForm {
    None,
    Required,    // --name VALUE or --name=VALUE
    InlineOnly,  // --name or --name=VALUE
    Repeated,    // as Required, and may be given more than once
};

// Puts an option's value (empty for one that takes none) into options;
// false with the reason in error.
using StoreValue = bool (*)(const std::string& name, const std::string& value, CliOptions& options, std::string& error);

struct OptionSpec {
    const char* shortName;  // null: none
    const char* name;
    ValueForm value;
    const char* placeholder;  // of the value, as --help names it
    unsigned commands;        // the commands that take the option
    bool bLinuxOnly;          // in the --help of Linux builds only
    const char* help;         // its lines in --help, '\n' between them
    StoreValue store;         // null: answered before any option is read
};

template <std::optional<std::string> CliOptions::*field>
bool StoreText(const std::string&, const std::string& value, CliOptions& options, std::string&)
{
    options.*field = value;
    return true;
}

template <bool CliOptions::*field>
bool StoreFlag(const std::string&, const std::string&, CliOptions& options, std::string&)
{
    options.*field = true;
    return true;
}

// "-" reads as stdout, which carries the events: a file of that name would
// be a surprise found at the end of the shift.
template <std::optional<std::string> CliOptions::*field>
bool StoreOutputFile(const std::string& name, const std::string& file, CliOptions& options, std::string& error)
{
    if (file == "-")
        return FailWith(error,
                        name + " takes a file, not '-': stdout carries the events (write ./- for a file named '-')");
    options.*field = file;
    return true;
}

bool StoreUnits(const std::string&, const std::string& count, CliOptions& options, std::string& error)
{
    if (count.size() > 6 || count.find_first_not_of("0123456789") != std::string::npos || std::stoul(count) == 0 ||
        std::stoul(count) > kMaxStationUnits) {
        return FailWith(error, "--units takes a whole number from 1 to " + std::to_string(kMaxStationUnits) +
                                   ", not '" + count + "'");
    }
    options.units = static_cast<uint32_t>(std::stoul(count));
    return true;
}

// Every option of the tool, in the order --help lists them.
const OptionSpec kOptions[] = {
    {"-d", "--device", ValueForm::Required, "DEV", kFlash | kUdevRule, false,
     "the device to flash or to write a rule for: a drive\n"
     "letter (D, D:), a node (/dev/sg1, /dev/sr0) or an\n"
     "index from 'list'",
     StoreText<&CliOptions::device>},
    {nullptr, "--all", ValueForm::None, nullptr, kFlash, false, "flash every device found, all at once",
     StoreFlag<&CliOptions::bAll>},
    // The scenario only ever comes with '=': "--emulate flash x.bin" must not
    // take "flash" for a scenario.
    {nullptr, "--emulate", ValueForm::InlineOnly, "SCENARIO", kEveryCommand, false,
     "use emulated devices instead of real ones; SCENARIO is\n"
     "key=value,...: devices=N vendor= product= revision=\n"
     "new_revision= reboot_ms=N never_return=1 fail_block=K\n"
     "sense=KK/AA/QQ drop_block=K latency_ms=N win9x=1\n"
     "plug=D+MS/D-MS/... (drive D arrives or leaves MS ms\n"
     "after the start, or after its unit answered with its\n"
     "new revision: D-updated+MS) replug_ms=N\n"
     "replug_elsewhere=1 (a\n"
     "unit leaves the bus for its restart and comes back N\n"
     "ms later, at its drive or at another)\n"
     "(fail_block and drop_block count block writes from 0:\n"
     "0 is the first block, 17 the last of a 1 MiB image)",
     [](const std::string&, const std::string& scenario, CliOptions& options, std::string&) {
         options.bEmulate = true;
         options.strScenario = scenario;
         return true;
     }},
    {nullptr, "--transcript", ValueForm::Required, "FILE", kEveryCommand, false,
     "append every command the emulated devices receive to\n"
     "FILE, one JSON object per line (needs --emulate)",
     StoreOutputFile<&CliOptions::transcript>},
    {nullptr, "--log", ValueForm::Required, "FILE", kEveryCommand, false,
     "append every command sent to a device, real or emulated,\n"
     "to FILE: one JSON object per line, the sense in words",
     StoreOutputFile<&CliOptions::log>},
    {nullptr, "--units", ValueForm::Required, "N", kStation, false,
     "station: stop once N units have been flashed (passed or\n"
     "failed); without it, only Ctrl-C stops the station",
     StoreUnits},
    {nullptr, "--json", ValueForm::None, nullptr, kEveryCommand, false,
     "print JSON-lines events on stdout instead of progress", StoreFlag<&CliOptions::bJson>},
    {nullptr, "--expect-identity", ValueForm::Required, "TEXT", kFlash | kStation, false,
     "flash only a device that is TEXT: vendor, one blank,\n"
     "product, as 'list' shows them (more blanks between\n"
     "them do not count); any other gets nothing\n"
     "beyond one INQUIRY (exit 9; --all skips it)",
     [](const std::string& name, const std::string& text, CliOptions& options, std::string& error) {
         return TakeInquiryText(name, text, kLongestIdentity, kIdentityField, options.expected.identity, error);
     }},
    {nullptr, "--expect-revision", ValueForm::Required, "REV", kFlash | kStation, false,
     "flash only a device with firmware revision REV",
     [](const std::string& name, const std::string& text, CliOptions& options, std::string& error) {
         return TakeInquiryText(name, text, kLongestRevision, kRevisionField, options.expected.revision, error);
     }},
    {nullptr, "--new-revision", ValueForm::Required, "REV", kFlash | kStation, false,
     "the device must come back with revision REV (exit 10)",
     [](const std::string& name, const std::string& text, CliOptions& options, std::string& error) {
         return TakeInquiryText(name, text, kLongestRevision, kRevisionField, options.newRevision, error);
     }},
    {nullptr, "--poll-window", ValueForm::Required, "FIRST..LAST", kFlash | kStation, false,
     "the restart ticks (1 s each) that ask the device:\n"
     "13..21 by default, FIRST 13 or later, LAST 600 at most",
     [](const std::string&, const std::string& text, CliOptions& options, std::string& error) {
         return ParsePollWindow(text, options.pollWindow, error);
     }},
    {nullptr, "--trusted-key", ValueForm::Repeated, "FILE", kInfo | kFlash | kStation | kLineApprove, true,
     "send only an image whose minisign signature verifies\n"
     "with this public key (FILE, or every *.pub in a\n"
     "directory; may be given more than once); default: the\n"
     "keys in /etc/kt3916flash/trusted-keys (exit 12)",
     [](const std::string&, const std::string& path, CliOptions& options, std::string&) {
         options.trustedKeys.push_back(path);
         return true;
     }},
    {nullptr, "--signature", ValueForm::Required, "FILE", kInfo | kFlash | kStation | kLineApprove, true,
     "the image's signature (default: IMAGE.minisig)", StoreText<&CliOptions::signature>},
    {nullptr, "--allow-unsigned", ValueForm::None, nullptr, kInfo | kFlash | kStation | kLineApprove, true,
     "send an image that has no signature although keys are\n"
     "trusted (said in the output and the records); a\n"
     "signature that is there must still verify",
     StoreFlag<&CliOptions::bAllowUnsigned>},
    {nullptr, "--allow-older", ValueForm::None, nullptr, kFlash | kStation, true,
     "flash a device that runs a newer revision than the\n"
     "signed image's revision=X.YZ (else exit 9)",
     StoreFlag<&CliOptions::bAllowOlder>},
    {nullptr, "--line", ValueForm::Required, "mqtt[s]://HOST[:PORT]/LINE", kStation | kLine, true,
     "station: join the line through its MQTT broker (needs\n"
     "--log, the spool of what the broker has not taken);\n"
     "line serve: show the stations' status and approval",
     StoreText<&CliOptions::line>},
    // Which commands take it depends on other options: a rule of its own.
    {nullptr, "--station-name", ValueForm::Required, "NAME", kEveryCommand, true,
     "the station's name on the line (default: host name)", StoreText<&CliOptions::stationName>},
    {nullptr, "--line-ca", ValueForm::Required, "FILE", kStation | kLine, true,
     "the CA that signed the broker's certificate (mqtts)", StoreText<&CliOptions::lineCa>},
    {nullptr, "--line-credentials", ValueForm::Required, "FILE", kStation | kLine, true,
     "user name (line 1) and password (line 2) for the broker;\n"
     "default: the file KT3916FLASH_LINE_CREDENTIALS names",
     StoreText<&CliOptions::lineCredentials>},
    {nullptr, "--line-without-approval", ValueForm::None, nullptr, kStation, true,
     "station: take units while the line has no approved\n"
     "image (never while another image is approved)",
     StoreFlag<&CliOptions::bLineWithoutApproval>},
    {nullptr, "--db", ValueForm::Required, "FILE", kLineCollect | kLineServe | kLineReport, true,
     "line collect, serve, report: the SQLite database of\n"
     "the records (serve and report only read it)",
     StoreText<&CliOptions::db>},
    {nullptr, "--import", ValueForm::Required, "LOG", kLineCollect, true,
     "line collect: load the unit records of a station's log", StoreText<&CliOptions::importLog>},
    {nullptr, "--http", ValueForm::Required, "HOST:PORT", kLineServe, true,
     "line serve: where the page listens (default\n"
     "127.0.0.1:8391)",
     StoreText<&CliOptions::http>},
    {nullptr, "--since", ValueForm::Required, "TIME", kLineReport, true,
     "line report: units that ended at TIME (UTC,\n"
     "2026-12-10T06:00) or later",
     StoreText<&CliOptions::since>},
    {nullptr, "--until", ValueForm::Required, "TIME", kLineReport, true, "line report: units that ended before TIME",
     StoreText<&CliOptions::until>},
    {nullptr, "--csv", ValueForm::None, nullptr, kLineReport, true, "line report: one CSV table instead of text",
     StoreFlag<&CliOptions::bCsv>},
    {"-h", "--help", ValueForm::None, nullptr, kEveryCommand, false, "show this help", nullptr},
    {"-V", "--version", ValueForm::None, nullptr, kEveryCommand, false, "show the version", nullptr},
};

const OptionSpec* FindOption(const std::string& name)
{
    for (const OptionSpec& spec : kOptions) {
        if (name == spec.name || (spec.shortName && name == spec.shortName))
            return &spec;
    }
    return nullptr;
}

// True when args, up to "--", hold the option name or shortName.
bool HasOption(const std::vector<std::string>& args, const char* name, const char* shortName)
{
    for (const std::string& arg : args) {
        if (arg == "--")
            break;
        if (arg == name || arg == shortName)
            return true;
    }
    return false;
}

// Reads the options in args into options, in their order, and the other
// words into positional. given holds each option met, by its long name.
bool ReadOptions(const std::vector<std::string>& args, CliOptions& options, std::vector<std::string>& positional,
                 std::map<std::string, const OptionSpec*>& given, std::string& error)
{
    bool bOptionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (bOptionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            bOptionsEnded = true;
            continue;
        }
        // "--name=value"; a short option never takes its value with '='.
        const size_t eq = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
        const bool bInline = eq != std::string::npos;
        const std::string name = arg.substr(0, eq);
        // --help and --version were answered before: "--help=x" is neither.
        const OptionSpec* spec = FindOption(name);
        if (!spec || !spec->store)
            return FailWith(error, "unknown option '" + name + "'");
        // Every option once: a second one would silently win or be lost.
        if (!given.emplace(spec->name, spec).second && spec->value != ValueForm::Repeated)
            return FailWith(error, "option '" + std::string(spec->name) + "' given twice");
        std::string value = bInline ? arg.substr(eq + 1) : std::string();
        if (spec->value == ValueForm::None && bInline)
            return FailWith(error, "option '" + name + "' takes no value");
        const bool bTakesValue = spec->value == ValueForm::Required || spec->value == ValueForm::Repeated;
        if (bTakesValue && !bInline && i + 1 < args.size()) {
            // "--transcript --json" is a forgotten value, not a file named
            // "--json"; such a name can still be given with '='.
            const std::string& next = args[i + 1];
            if (next.size() > 1 && next[0] == '-')
                return FailWith(error, "option '" + name + "' needs a value, not the option '" + next + "'");
            value = args[++i];
        }
        if (bTakesValue && value.empty())
            return FailWith(error, "option '" + name + "' needs a value");
        if (!spec->store(name, value, options, error))
            return false;
    }
    return true;
}

// The command and its arguments; the command's bits for the options' check.
bool ReadCommand(const std::vector<std::string>& positional, CliOptions& options, unsigned& commandBits,
                 std::string& error)
{
    if (positional.empty())
        return FailWith(error, "missing command: list, info, flash, station, udev-rule or line");
    const std::string& command = positional[0];
    size_t expected = 1;
    if (command == "list") {
        options.command = CliCommand::List;
    } else if (command == "udev-rule") {
        options.command = CliCommand::UdevRule;
    } else if (command == "line") {
        options.command = CliCommand::Line;
        options.strLineAction = positional.size() > 1 ? positional[1] : "";
        expected = options.strLineAction == "approve" ? 3 : 2;
        if (options.strLineAction != "approve" && options.strLineAction != "watch" &&
            options.strLineAction != "collect" && options.strLineAction != "serve" &&
            options.strLineAction != "report") {
            return FailWith(error, "'line' needs approve IMAGE, watch, collect, serve or report");
        }
        if (positional.size() < expected)
            return FailWith(error, "'line approve' needs an image file");
        if (expected == 3)
            options.strImage = positional[2];
    } else if (command == "info" || command == "flash" || command == "station") {
        options.command = command == "info"    ? CliCommand::Info
                          : command == "flash" ? CliCommand::Flash
                                               : CliCommand::Station;
        if (positional.size() < 2)
            return FailWith(error, "'" + command + "' needs an image file");
        options.strImage = positional[1];
        if (options.strImage.empty())
            return FailWith(error, "the image path is empty");
        expected = 2;
    } else {
        return FailWith(error, "unknown command '" + command + "'");
    }
    if (positional.size() > expected)
        return FailWith(error, "unexpected argument '" + positional[expected] + "'");
    const std::string name = options.command == CliCommand::Line ? "line " + options.strLineAction : command;
    for (const auto& known : kCommandNames) {
        if (name == known.name)
            commandBits = known.bits;
    }
    return true;
}

// The rules between options, once each option is known to be for the command.
bool CheckOptionsTogether(const CliOptions& options, std::string& error)
{
    const bool station = options.command == CliCommand::Station;
    const bool line = options.command == CliCommand::Line;
    // A rule names one drive's identity: never one the tool picked itself.
    if (options.command == CliCommand::UdevRule && !options.device) {
        error = "udev-rule needs --device: the drive whose vendor and product the rule names";
    } else if (options.command == CliCommand::UdevRule && options.bJson) {
        error = "--json is not for 'udev-rule': it prints a udev rule";
    } else if (station && !options.expected.identity) {
        // Unattended, a station never writes a device it was not told to
        // expect: a machine's own DVD drive would otherwise get an eject and
        // vendor writes.
        error = "station needs --expect-identity: it writes only the devices it was told to expect";
    } else if (station && options.expected.revision && options.newRevision &&
               WithoutTrailingBlanks(*options.expected.revision) == WithoutTrailingBlanks(*options.newRevision)) {
        // A station skips every unit that already runs the new revision:
        // with the same revision expected, no unit could ever be flashed.
        error = "station: --expect-revision and --new-revision are both " +
                WithoutTrailingBlanks(*options.newRevision) + ": every unit would be skipped as already updated";
    } else if (!options.line && (options.lineCa || options.lineCredentials || options.bLineWithoutApproval)) {
        error = std::string(options.lineCa            ? "--line-ca"
                            : options.lineCredentials ? "--line-credentials"
                                                      : "--line-without-approval") +
                " needs --line";
    } else if (options.stationName && !(station && options.line) && !(line && options.importLog)) {
        // A station's name on the line, or the station whose log is imported.
        error = "--station-name is for 'station --line' and 'line collect --import' only";
    } else if (station && options.line && !options.log) {
        // The log is the line's spool: without it a record the broker did
        // not take would be lost with the process.
        error = "station --line needs --log FILE: the log keeps each record until the line's broker has it";
    } else if (line && (options.bEmulate || options.log || options.transcript)) {
        error =
            "'line " + options.strLineAction + "' talks to the line's broker only: no --emulate, --log or --transcript";
    } else if (line && options.strLineAction == "report" && options.line) {
        error = "'line report' reads --db only: without --line";
    } else if (line && options.bJson && options.strLineAction != "watch" && options.strLineAction != "report") {
        error = "--json is for 'line watch' and 'line report' only";
    } else if (options.bJson && options.bCsv) {
        error = "--json and --csv exclude each other";
    } else if (line && !options.db &&
               (options.strLineAction == "collect" || options.strLineAction == "serve" ||
                options.strLineAction == "report")) {
        error = "'line " + options.strLineAction + "' needs --db FILE: the SQLite database of the line's records";
    } else if (line && !options.line && options.strLineAction != "serve" && options.strLineAction != "report" &&
               !(options.strLineAction == "collect" && options.importLog)) {
        error = "'line " + options.strLineAction + "' needs --line mqtt[s]://HOST[:PORT]/LINE";
    } else if (line && options.line && options.importLog) {
        error = "'line collect --import' loads one log and ends: without --line";
    } else if (options.device && options.bAll) {
        error = "--device and --all exclude each other";
    } else if (options.transcript && !options.bEmulate) {
        error = "--transcript records the emulated devices' commands: use it with --emulate";
    }
    return error.empty();
}

// The Options section of --help: a head of names and value, then the text
// from column 23, or two blanks after a head that reaches it; a longer head
// stands on a line of its own.
std::string OptionsHelpText()
{
    constexpr size_t kTextColumn = 23;
    const std::string indent(kTextColumn, ' ');
    std::string text;
    for (const OptionSpec& spec : kOptions) {
#ifdef _WIN32
        if (spec.bLinuxOnly)
            continue;
#endif
        std::string head =
            std::string("  ") + (spec.shortName ? std::string(spec.shortName) + ", " : "    ") + spec.name;
        if (spec.value == ValueForm::Required || spec.value == ValueForm::Repeated)
            head += std::string(" ") + spec.placeholder;
        else if (spec.value == ValueForm::InlineOnly)
            head += std::string("[=") + spec.placeholder + "]";
        text += head.size() <= kTextColumn ? head + std::string(std::max<size_t>(kTextColumn - head.size(), 2), ' ')
                                           : head + "\n" + indent;
        for (const char* c = spec.help; *c; ++c)
            text += *c == '\n' ? "\n" + indent : std::string(1, *c);
        text += '\n';
    }
    return text;
}

}  // namespace

bool ParseCliArguments(const std::vector<std::string>& args, CliOptions& options, std::string& error)
{
    options = CliOptions{};
    if (HasOption(args, "--help", "-h")) {
        options.command = CliCommand::Help;
        return true;
    }
    if (HasOption(args, "--version", "-V")) {
        options.command = CliCommand::Version;
        return true;
    }
    std::vector<std::string> positional;
    std::map<std::string, const OptionSpec*> given;
    unsigned commandBits = 0;
    if (!ReadOptions(args, options, positional, given, error) || !ReadCommand(positional, options, commandBits, error))
        return false;
    for (const OptionSpec& spec : kOptions) {
        if (given.count(spec.name) && !(spec.commands & commandBits))
            return FailWith(error, std::string(spec.name) + " is for " + CommandsText(spec.commands) + " only");
    }
    return CheckOptionsTogether(options, error);
}

std::string CliUsageText()
{
    std::string text = "Usage: kt3916flash-cli [OPTIONS] COMMAND [ARGS]\n"
                       "Writes firmware into KT3916 devices as " KT_APP_NAME " does, without a window.\n"
                       "\n"
                       "Commands:\n"
                       "  list                 each device's index, drive, node, vendor, product and\n"
                       "                       revision\n"
                       "  info IMAGE           size, block plan and checksum of an image file\n"
                       "  flash IMAGE          write IMAGE into a device and wait for it to restart\n"
                       "  station IMAGE        wait for devices and flash each expected unit once as it\n"
                       "                       appears, several at once; needs --expect-identity\n"
                       "  udev-rule            print a udev rule that gives the group plugdev access to\n"
                       "                       drives with the --device drive's vendor and product\n"
#ifndef _WIN32
                       "  line approve IMAGE   make IMAGE the line's approved image (needs --line)\n"
                       "  line watch           show every station of the line live (needs --line)\n"
                       "  line collect         store every unit record of the line once in --db; with\n"
                       "                       --import LOG, load a station's log instead\n"
                       "  line serve           the line's live page of --db (and the stations of --line)\n"
                       "                       on --http\n"
                       "  line report          the figures of the page (yield, first pass, failures,\n"
                       "                       cycle times) from --db, as text, --json or --csv\n"
#endif
                       "\n"
                       "Options:\n" +
                       OptionsHelpText() +
                       "\n"
                       "With several devices and neither --device nor --all, flash refuses and lists\n"
                       "them: it never guesses which drive to write.\n"
                       "Ctrl-C (SIGTERM, SIGHUP, SIGQUIT) while the image is being sent is held until\n"
                       "the transfer ends; during the wait for the device to restart it stops at once\n"
                       "(the device may still be updating). A signal ignored when the tool started\n"
                       "(nohup) stays ignored.\n"
                       "No output holds a device: progress, events and the log are written by their\n"
                       "own writers; once the devices are done the tool waits for a slow reader, and\n"
                       "Ctrl-C gives that up (exit 1, what was not written is named).\n"
                       "The log starts each run with a run-start record (run id, host, process) and\n"
                       "each transfer with a unit-start record, both on the disk before any command\n"
                       "they precede; a log that cannot take them sends nothing (exit 1).\n"
                       "A station flashes a unit again only after it has gone away and come back; it\n"
                       "prints one line per unit; at its start it names the units its log shows\n"
                       "started and never ended. Give it --new-revision: without it a unit that comes\n"
                       "back with its old revision passes (its line says \"revision unchanged\").\n"
                       "A drive being flashed is the tool's alone until its flash ends; a drive that\n"
                       "another program has is left alone (exit 11).\n"
                       "\n"
                       "Exit codes:\n";
    for (const CliExitDescription& d : kCliExitDescriptions) {
        char line[128];
        std::snprintf(line, sizeof line, "  %3d  %s\n", static_cast<int>(d.code), d.text);
        text += line;
    }
    return text + "With several devices (--all, station) the first that applies: 130, 8, 4, 9,\n"
                  "then 0; a record that could not be written makes a 0 exit 1.\n";
}
