#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "form/flash_view.h"
#include "run/identity_guard.h"

enum class CliCommand {
    None,
    List,
    Info,
    Flash,
    Station,
    UdevRule,
    Line,
    Help,
    Version
};

// The command line of kt3916flash-cli, checked for form but not yet against
// the devices or the image.
struct CliOptions {
    CliCommand command = CliCommand::None;
    std::string strImage;
    std::optional<std::string> device;  // --device LETTER|PATH|INDEX (flash, udev-rule)
    bool bAll = false;
    bool bEmulate = false;
    std::string strScenario;  // --emulate=SCENARIO
    std::optional<std::string> transcript;
    std::optional<std::string> log;  // --log FILE: every command sent, real or emulated
    bool bJson = false;
    IdentityExpectation expected;  // --expect-identity, --expect-revision
    // The revision the device must answer with once it restarted.
    std::optional<std::string> newRevision;
    VerifyWindow pollWindow;        // --poll-window FIRST..LAST
    std::optional<uint32_t> units;  // station: stop once this many units have ended
    // The line (Linux): station --line, and line approve|watch|collect|serve|report.
    std::string strLineAction;
    std::optional<std::string> line;  // mqtt[s]://HOST[:PORT]/LINE
    std::optional<std::string> stationName, lineCa, lineCredentials, db, importLog;
    bool bLineWithoutApproval = false;
    // Signed images (Linux): the keys (files or directories of *.pub) that
    // replace the configuration directory's, the signature when it is not
    // IMAGE.minisig, and the two checks an operator may lift by name.
    std::vector<std::string> trustedKeys;
    std::optional<std::string> signature;
    bool bAllowUnsigned = false;
    bool bAllowOlder = false;
    std::optional<std::string> since, until;  // line report: UTC times
    std::optional<std::string> http;          // line serve: HOST:PORT
    bool bCsv = false;                        // line report
};

// The latest tick --poll-window may name: ten minutes of one-second ticks.
constexpr int32_t kLongestPollWindowEnd = 600;
