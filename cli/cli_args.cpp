#include "cli/cli_args.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "cli/exit_codes.h"
#include "cli/identity_guard.h"
#include "res/app_name.h"

namespace {

constexpr unsigned long kMaxStationUnits = 100000;

struct OptionValue {
    bool bHasInline = false;  // --name=value
    std::string strValue;
};

// Splits "--name=value"; name keeps its dashes.
std::string OptionName(const std::string& arg, OptionValue& value)
{
    const size_t eq = arg.find('=');
    if (arg.rfind("--", 0) != 0 || eq == std::string::npos)
        return arg;
    value.bHasInline = true;
    value.strValue = arg.substr(eq + 1);
    return arg.substr(0, eq);
}

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
        error = "--poll-window takes FIRST..LAST, ticks of one second such as 13..30, not '" + text + "'";
        return false;
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
    if (text.empty()) {
        error = "option '" + name + "' needs a value";
        return false;
    }
    if (text.size() > longest) {
        error = name + " '" + text + "' is longer than " + field;
        return false;
    }
    out = text;
    return true;
}

constexpr size_t kLongestIdentity = 8 + 1 + 16;
constexpr size_t kLongestRevision = 4;
constexpr char kIdentityField[] = "an INQUIRY vendor (8), a blank and a product (16)";
constexpr char kRevisionField[] = "an INQUIRY revision (4 characters)";

// Which command takes which of the line's options, and what each needs.
bool CheckLineOptions(const CliOptions& options, const std::set<std::string>& seen, std::string& error)
{
    const bool station = options.command == CliCommand::Station;
    const bool line = options.command == CliCommand::Line;
    const std::string action = line ? "'line " + options.strLineAction + "'" : "";
    for (const char* name : {"--line", "--line-ca", "--line-credentials"}) {
        if (seen.count(name) && !station && !line) {
            error = std::string(name) + " is for 'station' and 'line' only";
            return false;
        }
    }
    for (const char* name : {"--line-ca", "--line-credentials", "--line-without-approval"}) {
        if (seen.count(name) && !options.line) {
            error = std::string(name) + " needs --line";
            return false;
        }
    }
    if (options.bLineWithoutApproval && !station) {
        error = "--line-without-approval is for 'station' only";
        return false;
    }
    // A station's name on the line, or the station whose log is imported.
    if (options.stationName && !(station && options.line) && !(line && options.importLog)) {
        error = "--station-name is for 'station --line' and 'line collect --import' only";
        return false;
    }
    if ((options.db || options.importLog) && !(line && options.strLineAction == "collect")) {
        error = std::string(options.db ? "--db" : "--import") + " is for 'line collect' only";
        return false;
    }
    if (station && options.line && !options.log) {
        // The log is the line's spool: without it a record the broker did not
        // take would be lost with the process.
        error = "station --line needs --log FILE: the log keeps each record until the line's broker has it";
        return false;
    }
    if (!line)
        return true;
    if (options.bEmulate || options.log || options.transcript) {
        error = action + " talks to the line's broker only: no --emulate, --log or --transcript";
        return false;
    }
    if (options.bJson && options.strLineAction != "watch") {
        error = "--json is for 'line watch' only";
        return false;
    }
    if (options.strLineAction == "collect" && !options.db) {
        error = "'line collect' needs --db FILE: the SQLite database the records go into";
        return false;
    }
    if (!options.line && !(options.strLineAction == "collect" && options.importLog)) {
        error = action + " needs --line mqtt[s]://HOST[:PORT]/LINE";
        return false;
    }
    if (options.line && options.importLog) {
        error = "'line collect --import' loads one log and ends: without --line";
        return false;
    }
    return true;
}

}  // namespace

bool ParseCliArguments(const std::vector<std::string>& args, CliOptions& options, std::string& error)
{
    options = CliOptions{};
    for (const std::string& arg : args) {
        if (arg == "--")
            break;
        if (arg == "--help" || arg == "-h") {
            options.command = CliCommand::Help;
            return true;
        }
    }
    for (const std::string& arg : args) {
        if (arg == "--")
            break;
        if (arg == "--version" || arg == "-V") {
            options.command = CliCommand::Version;
            return true;
        }
    }

    std::vector<std::string> positional;
    std::set<std::string> seen;
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
        OptionValue value;
        const std::string name = OptionName(arg, value);
        auto takeValue = [&](std::string& out) {
            if (value.bHasInline) {
                out = value.strValue;
            } else if (i + 1 < args.size()) {
                // "--transcript --json" is a forgotten value, not a file
                // named "--json"; such a name can still be given with '='.
                const std::string& next = args[i + 1];
                if (next.size() > 1 && next[0] == '-') {
                    error = "option '" + name + "' needs a value, not the option '" + next + "'";
                    return false;
                }
                out = args[++i];
            } else {
                error = "option '" + name + "' needs a value";
                return false;
            }
            if (out.empty()) {
                error = "option '" + name + "' needs a value";
                return false;
            }
            return true;
        };
        auto noValue = [&]() {
            if (!value.bHasInline)
                return true;
            error = "option '" + name + "' takes no value";
            return false;
        };
        // Every option once: a second one would silently win or be lost.
        const std::string canonical = name == "-d" ? "--device" : name;
        if (!seen.insert(canonical).second) {
            error = "option '" + canonical + "' given twice";
            return false;
        }

        if (name == "--device" || name == "-d") {
            std::string device;
            if (!takeValue(device))
                return false;
            options.device = device;
        } else if (name == "--all") {
            if (!noValue())
                return false;
            options.bAll = true;
        } else if (name == "--emulate") {
            // The scenario only ever comes with '=': "--emulate flash x.bin"
            // must not take "flash" for a scenario.
            options.bEmulate = true;
            options.strScenario = value.strValue;
        } else if (name == "--transcript" || name == "--log") {
            std::string file;
            if (!takeValue(file))
                return false;
            // "-" reads as stdout, which carries the events: a file of that
            // name would be a surprise found at the end of the shift.
            if (file == "-") {
                error = name + " takes a file, not '-': stdout carries the events (write ./- for a file named '-')";
                return false;
            }
            (name == "--log" ? options.log : options.transcript) = file;
        } else if (std::optional<std::string>* lineValue = name == "--line"               ? &options.line
                                                           : name == "--station-name"     ? &options.stationName
                                                           : name == "--line-ca"          ? &options.lineCa
                                                           : name == "--line-credentials" ? &options.lineCredentials
                                                           : name == "--db"               ? &options.db
                                                           : name == "--import"           ? &options.importLog
                                                                                          : nullptr) {
            std::string text;
            if (!takeValue(text))
                return false;
            *lineValue = text;
        } else if (name == "--line-without-approval") {
            if (!noValue())
                return false;
            options.bLineWithoutApproval = true;
        } else if (name == "--units") {
            std::string count;
            if (!takeValue(count))
                return false;
            if (count.size() > 6 || count.find_first_not_of("0123456789") != std::string::npos ||
                std::stoul(count) == 0 || std::stoul(count) > kMaxStationUnits) {
                error = "--units takes a whole number from 1 to " + std::to_string(kMaxStationUnits) + ", not '" +
                        count + "'";
                return false;
            }
            options.units = static_cast<uint32_t>(std::stoul(count));
        } else if (name == "--json") {
            if (!noValue())
                return false;
            options.bJson = true;
        } else if (name == "--expect-identity") {
            std::string text;
            if (!takeValue(text) ||
                !TakeInquiryText(name, text, kLongestIdentity, kIdentityField, options.expected.identity, error))
                return false;
        } else if (name == "--expect-revision" || name == "--new-revision") {
            std::optional<std::string>& revision =
                name == "--new-revision" ? options.newRevision : options.expected.revision;
            std::string text;
            if (!takeValue(text) || !TakeInquiryText(name, text, kLongestRevision, kRevisionField, revision, error))
                return false;
        } else if (name == "--poll-window") {
            std::string text;
            if (!takeValue(text) || !ParsePollWindow(text, options.pollWindow, error))
                return false;
        } else {
            error = "unknown option '" + name + "'";
            return false;
        }
    }

    if (positional.empty()) {
        error = "missing command: list, info, flash, station, udev-rule or line";
        return false;
    }
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
            options.strLineAction != "collect") {
            error = "'line' needs approve IMAGE, watch or collect";
            return false;
        }
        if (positional.size() < expected) {
            error = "'line approve' needs an image file";
            return false;
        }
        if (expected == 3)
            options.strImage = positional[2];
    } else if (command == "info" || command == "flash" || command == "station") {
        options.command = command == "info"    ? CliCommand::Info
                          : command == "flash" ? CliCommand::Flash
                                               : CliCommand::Station;
        if (positional.size() < 2) {
            error = "'" + command + "' needs an image file";
            return false;
        }
        options.strImage = positional[1];
        if (options.strImage.empty()) {
            error = "the image path is empty";
            return false;
        }
        expected = 2;
    } else {
        error = "unknown command '" + command + "'";
        return false;
    }
    if (positional.size() > expected) {
        error = "unexpected argument '" + positional[expected] + "'";
        return false;
    }

    if (seen.count("--all") && options.command != CliCommand::Flash) {
        error = "--all is for 'flash' only";
        return false;
    }
    if (seen.count("--device") && options.command != CliCommand::Flash && options.command != CliCommand::UdevRule) {
        error = "--device is for 'flash' and 'udev-rule' only";
        return false;
    }
    // A rule names one drive's identity: never one the tool picked itself.
    if (options.command == CliCommand::UdevRule && !options.device) {
        error = "udev-rule needs --device: the drive whose vendor and product the rule names";
        return false;
    }
    if (options.command == CliCommand::UdevRule && options.bJson) {
        error = "--json is not for 'udev-rule': it prints a udev rule";
        return false;
    }
    for (const char* flashOrStation : {"--expect-identity", "--expect-revision", "--new-revision", "--poll-window"}) {
        if (seen.count(flashOrStation) && options.command != CliCommand::Flash &&
            options.command != CliCommand::Station) {
            error = std::string(flashOrStation) + " is for 'flash' and 'station' only";
            return false;
        }
    }
    // Unattended, a station never writes a device it was not told to expect:
    // a machine's own DVD drive would otherwise get an eject and vendor writes.
    if (options.command == CliCommand::Station && !options.expected.identity) {
        error = "station needs --expect-identity: it writes only the devices it was told to expect";
        return false;
    }
    // A station skips every unit that already runs the new revision: with
    // the same revision expected, no unit could ever be flashed.
    if (options.command == CliCommand::Station && options.expected.revision && options.newRevision &&
        WithoutTrailingBlanks(*options.expected.revision) == WithoutTrailingBlanks(*options.newRevision)) {
        error = "station: --expect-revision and --new-revision are both " +
                WithoutTrailingBlanks(*options.newRevision) + ": every unit would be skipped as already updated";
        return false;
    }
    if (!CheckLineOptions(options, seen, error))
        return false;
    if (options.units && options.command != CliCommand::Station) {
        error = "--units is for 'station' only";
        return false;
    }
    if (options.device && options.bAll) {
        error = "--device and --all exclude each other";
        return false;
    }
    if (options.transcript && !options.bEmulate) {
        error = "--transcript records the emulated devices' commands: use it with --emulate";
        return false;
    }
    return true;
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
#endif
                       "\n"
                       "Options:\n"
                       "  -d, --device DEV     the device to flash or to write a rule for: a drive\n"
                       "                       letter (D, D:), a node (/dev/sg1, /dev/sr0) or an\n"
                       "                       index from 'list'\n"
                       "      --all            flash every device found, all at once\n"
                       "      --emulate[=SCENARIO]\n"
                       "                       use emulated devices instead of real ones; SCENARIO is\n"
                       "                       key=value,...: devices=N vendor= product= revision=\n"
                       "                       new_revision= reboot_ms=N never_return=1 fail_block=K\n"
                       "                       sense=KK/AA/QQ drop_block=K latency_ms=N win9x=1\n"
                       "                       plug=D+MS/D-MS/... (drive D arrives or leaves MS ms\n"
                       "                       after the start) replug_ms=N replug_elsewhere=1 (a\n"
                       "                       unit leaves the bus for its restart and comes back N\n"
                       "                       ms later, at its drive or at another)\n"
                       "                       (fail_block and drop_block count block writes from 0:\n"
                       "                       0 is the first block, 17 the last of a 1 MiB image)\n"
                       "      --transcript FILE  append every command the emulated devices receive to\n"
                       "                       FILE, one JSON object per line (needs --emulate)\n"
                       "      --log FILE       append every command sent to a device, real or emulated,\n"
                       "                       to FILE: one JSON object per line, the sense in words\n"
                       "      --units N        station: stop once N units have been flashed (passed or\n"
                       "                       failed); without it, only Ctrl-C stops the station\n"
                       "      --json           print JSON-lines events on stdout instead of progress\n"
                       "      --expect-identity TEXT\n"
                       "                       flash only a device that is TEXT: vendor, one blank,\n"
                       "                       product, as 'list' shows them (more blanks between\n"
                       "                       them do not count); any other gets nothing\n"
                       "                       beyond one INQUIRY (exit 9; --all skips it)\n"
                       "      --expect-revision REV\n"
                       "                       flash only a device with firmware revision REV\n"
                       "      --new-revision REV\n"
                       "                       the device must come back with revision REV (exit 10)\n"
                       "      --poll-window FIRST..LAST\n"
                       "                       the restart ticks (1 s each) that ask the device:\n"
                       "                       13..21 by default, FIRST 13 or later, LAST 600 at most\n"
#ifndef _WIN32
                       "      --line mqtt[s]://HOST[:PORT]/LINE\n"
                       "                       station: join the line through its MQTT broker (needs\n"
                       "                       --log, the spool of what the broker has not taken)\n"
                       "      --station-name NAME\n"
                       "                       the station's name on the line (default: host name)\n"
                       "      --line-ca FILE   the CA that signed the broker's certificate (mqtts)\n"
                       "      --line-credentials FILE\n"
                       "                       user name (line 1) and password (line 2) for the broker;\n"
                       "                       default: the file KT3916FLASH_LINE_CREDENTIALS names\n"
                       "      --line-without-approval\n"
                       "                       station: take units while the line has no approved\n"
                       "                       image (never while another image is approved)\n"
                       "      --db FILE        line collect: the SQLite database of the records\n"
                       "      --import LOG     line collect: load the unit records of a station's log\n"
#endif
                       "  -h, --help           show this help\n"
                       "  -V, --version        show the version\n"
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
