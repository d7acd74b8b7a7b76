#include "cli/station.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "cli/commands.h"
#include "cli/device_list.h"
#include "cli/drive_hold.h"
#include "cli/exit_codes.h"
#include "cli/flash_session.h"
#include "cli/identity_guard.h"
#include "cli/image_check.h"
#include "cli/json_text.h"
#include "cli/progress_output.h"
#include "device/recording_host.h"

namespace {

// Attach and detach are seen by listing the drives this often; listing sends
// no command, so idle drives hear nothing from the station.
constexpr uint32_t kScanPeriodMs = 500;

constexpr char kResultPassed[] = "passed";
constexpr char kResultFailed[] = "failed";
constexpr char kResultSkipped[] = "skipped";

struct StationCounts {
    int nPassed = 0;
    int nFailed = 0;
    int nSkipped = 0;
    int nInProgress = 0;
};

// One appearance of a device: from the scan that found it until the scan
// that misses it, once its flash (if any) has ended.
struct Unit {
    char chDrive = 0;
    std::string strNode;
    std::string strTime;  // when it was found, UTC
    ListedDevice identity;
    bool bFlashing = false;
    std::atomic<bool> bFinished{false};
    uint64_t nStartMs = 0;
    uint64_t nDurationMs = 0;
    FlashRecord record;
    std::unique_ptr<CDriveHold> hold;  // the drive, the unit's flash's alone
    std::thread thread;
};

std::string NowUtc() {
    char text[kTimeTextLength];
    FormatUtc(std::chrono::system_clock::now(), text);
    return text;
}

std::string IdentityOf(const ListedDevice& device) {
    if (!device.bAnswered) return "(no answer)";
    return device.strProduct.empty() ? device.strVendor : device.strVendor + " " + device.strProduct;
}

std::string Seconds(uint64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    return text;
}

// What the run came to, for a person: the last message, the notes and the
// sense the device answered with.
std::string FailureText(const FlashRecord& record) {
    std::vector<std::string> parts;
    if (record.bInterrupted) parts.push_back("interrupted");
    else if (!record.messages.empty()) parts.push_back(record.messages.back());
    if (!record.strSense.empty()) parts.push_back(record.strSense + " " + record.strSenseText);
    if (!record.strHostError.empty()) parts.push_back(record.strHostError);
    parts.insert(parts.end(), record.notes.begin(), record.notes.end());
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : "; ") + part;
    return text;
}

std::string UnitLine(const Unit& unit, const char* result, const std::string& detail) {
    std::string line = unit.strTime + "  " + std::string(1, unit.chDrive) + ": " + unit.strNode + "  " +
                       IdentityOf(unit.identity) + "  " + unit.identity.strRevision;
    if (result == kResultPassed) line += " -> " + unit.record.strNewRevision;
    line += std::string("  ") + result;
    if (result != kResultSkipped) {
        if (result == kResultFailed) line += std::string(" (") + CliExitName(unit.record.exit) + ")";
        line += "  " + Seconds(unit.nDurationMs);
    }
    if (!detail.empty()) line += ": " + detail;
    return line;
}

std::string UnitJson(const Unit& unit, const char* result, int exit, const std::string& detail) {
    std::string json = "{\"event\":\"unit\",\"time\":" + JsonQuote(unit.strTime) +
                       ",\"device\":" + JsonQuote(std::string(1, unit.chDrive) + ":") +
                       ",\"node\":" + JsonQuote(unit.strNode) + ",\"identity\":" + JsonQuote(IdentityOf(unit.identity)) +
                       ",\"old_revision\":" + JsonQuote(unit.identity.strRevision) +
                       ",\"new_revision\":" + JsonQuote(unit.record.strNewRevision) + ",\"result\":\"" + result +
                       "\",\"exit_code\":" + std::to_string(exit) + ",\"exit_name\":\"" + CliExitName(exit) +
                       "\",\"duration_ms\":" + std::to_string(unit.nDurationMs) + ",\"message\":" + JsonQuote(detail);
    if (!unit.record.strSense.empty()) {
        json += ",\"sense\":" + JsonQuote(unit.record.strSense) + ",\"sense_text\":" + JsonQuote(unit.record.strSenseText);
    }
    return json + "}";
}

// The station's own output: one line per unit on stdout, and on a live
// terminal a status line on stderr that the unit lines pass above.
class CStationOutput {
public:
    CStationOutput(CliEnvironment& env, bool json, std::string waitingFor)
        : m_env(env), m_bJson(json), m_strWaitingFor(std::move(waitingFor)) {}

    void Begin() {
        if (!m_env.bErrIsTerminal) {
            *m_env.pErr << kCliProgramName << ": station: waiting for " << m_strWaitingFor
                        << "; Ctrl-C stops (a unit being flashed is never abandoned)\n";
            m_env.pErr->flush();
        }
    }

    void Unit(const ::Unit& unit, const char* result, int exit, const std::string& detail) {
        ClearStatus();
        *m_env.pOut << (m_bJson ? UnitJson(unit, result, exit, detail) : UnitLine(unit, result, detail)) << '\n';
        m_env.pOut->flush();
        DrawStatus();
    }

    void Status(const StationCounts& counts, bool stopping) {
        char text[160];
        std::snprintf(text, sizeof text, "station: %d passed, %d failed, %d skipped, %d in progress; ", counts.nPassed,
                      counts.nFailed, counts.nSkipped, counts.nInProgress);
        m_strStatus = text + (stopping ? std::string("stopping, waiting for the units in progress")
                                       : "waiting for " + m_strWaitingFor + " (Ctrl-C stops)");
        DrawStatus();
    }

    void Finish(const StationCounts& counts, int exit) {
        ClearStatus();
        if (m_bJson) {
            *m_env.pOut << "{\"event\":\"summary\",\"passed\":" << counts.nPassed << ",\"failed\":" << counts.nFailed
                        << ",\"skipped\":" << counts.nSkipped << ",\"result\":\"" << CliExitName(exit)
                        << "\",\"exit_code\":" << exit << "}\n";
        } else {
            *m_env.pOut << "station: " << counts.nPassed << " passed, " << counts.nFailed << " failed, "
                        << counts.nSkipped << " skipped\n";
        }
        m_env.pOut->flush();
    }

private:
    void DrawStatus() {
        if (!m_env.bErrIsTerminal || m_strStatus.empty()) return;
        const size_t width = m_env.terminalColumns ? m_env.terminalColumns() : kDefaultTerminalColumns;
        // One column short of the width, so the cursor never wraps.
        const size_t room = width > 1 ? width - 1 : 1;
        *m_env.pErr << '\r' << m_strStatus.substr(0, room) << "\x1b[K";
        m_env.pErr->flush();
    }
    void ClearStatus() {
        if (!m_env.bErrIsTerminal) return;
        *m_env.pErr << "\r\x1b[K";
        m_env.pErr->flush();
    }

    CliEnvironment& m_env;
    bool m_bJson;
    std::string m_strWaitingFor;
    std::string m_strStatus;
};

// What the station waits for, as the status line names it.
std::string ExpectedUnitsText(const CliOptions& options) {
    std::string text = "\"" + WithoutTrailingBlanks(options.expected.identity.value_or("")) + "\"";
    if (options.expected.revision) text += " revision " + WithoutTrailingBlanks(*options.expected.revision);
    return text + " units";
}

// Empty for a unit to flash. A unit that already runs the new revision was
// flashed before (a device that re-enumerates while it restarts comes back
// under another node) and is not flashed again.
std::string SkipReason(const CliOptions& options, const ListedDevice& device) {
    std::string reason = IdentityMismatch(options.expected, device);
    if (reason.empty() && options.newRevision &&
        WithoutTrailingBlanks(device.strRevision) == WithoutTrailingBlanks(*options.newRevision)) {
        reason = std::string(1, device.chDrive) + ": already runs revision " + WithoutTrailingBlanks(*options.newRevision) +
                 "; nothing was sent";
    }
    return reason;
}

std::string UnitKey(const ListedDevice& device) { return std::string(1, device.chDrive) + "|" + device.strNode; }

}  // namespace

int CommandStation(const CliOptions& options, IScsiHost& host, IClock& clock, CliEnvironment& env,
                   CTranscriptFile* transcript) {
    const ImageCheck check = CheckImage(options.strImage, false);
    if (check.exit != kExitSuccess) {
        PrintError(env, check.strError + "; nothing was sent");
        return check.exit;
    }

    CStationOutput output(env, options.bJson, ExpectedUnitsText(options));
    output.Begin();

    std::map<std::string, std::unique_ptr<Unit>> units;
    StationCounts counts;
    uint32_t nStarted = 0;
    bool bToldNoExclusiveAccess = false;
    std::mutex mutex;
    std::condition_variable unitEnded;
    auto interrupted = [&env]() { return env.pInterrupt && env.pInterrupt->IsRaised(); };

    while (true) {
        // Units whose flash ended get their line.
        for (auto& [key, unit] : units) {
            if (!unit->bFlashing || !unit->bFinished) continue;
            unit->thread.join();
            unit->bFlashing = false;
            --counts.nInProgress;
            const FlashRecord& record = unit->record;
            const bool passed = record.exit == kExitSuccess;
            ++(passed ? counts.nPassed : counts.nFailed);
            output.Unit(*unit, passed ? kResultPassed : kResultFailed, record.exit,
                        passed ? std::string() : FailureText(record));
        }
        const bool enough = options.units && counts.nPassed + counts.nFailed >= static_cast<int>(*options.units);
        const bool stopping = interrupted() || enough;
        if (stopping && counts.nInProgress == 0) break;

        if (!stopping) {
            const std::vector<ListedDevice> devices = ListDevices(host, false);
            std::set<std::string> present;
            for (const ListedDevice& d : devices) present.insert(UnitKey(d));
            // A unit that has gone away may come back as a new one.
            for (auto it = units.begin(); it != units.end();) {
                it = !it->second->bFlashing && present.count(it->first) == 0 ? units.erase(it) : std::next(it);
            }
            for (const ListedDevice& d : devices) {
                if (!d.chDrive || units.count(UnitKey(d)) != 0) continue;
                if (options.units && nStarted >= *options.units) break;
                auto unit = std::make_unique<Unit>();
                unit->chDrive = d.chDrive;
                unit->strNode = d.strNode;
                unit->strTime = NowUtc();
                // Taken first, as flash takes its drives: the unit's one
                // INQUIRY and its flash go through the same hold, and a unit
                // another program holds is not asked; its run says it is busy.
                unit->hold = std::make_unique<CDriveHold>(host, d.chDrive, clock);
                if (unit->hold->GetState() == CDriveHold::State::NotOffered && !bToldNoExclusiveAccess) {
                    PrintError(env, kNoteNoExclusiveAccess + std::string(1, d.chDrive) + ":");
                    bToldNoExclusiveAccess = true;
                }
                const bool busy = unit->hold->GetState() == CDriveHold::State::Busy;
                // The one command a new device hears before it is known to be
                // the expected one.
                if (!busy) unit->identity = IdentifyDrive(*unit->hold, d.chDrive);
                const std::string mismatch = busy ? std::string() : SkipReason(options, unit->identity);
                if (!mismatch.empty()) {
                    unit->hold->Release();
                    ++counts.nSkipped;
                    output.Unit(*unit, kResultSkipped, kExitWrongDevice, mismatch);
                    units.emplace(UnitKey(d), std::move(unit));
                    continue;
                }
                ++nStarted;
                ++counts.nInProgress;
                unit->bFlashing = true;
                unit->nStartMs = clock.NowMs();
                Unit* running = unit.get();
                FlashJob job = MakeFlashJob(options, check, host, clock, nullptr, env, d.chDrive, d.strNode);
                job.pHold = unit->hold.get();
                job.afterFinalBlock = SyncAfterFinalBlock(transcript);
                unit->thread = std::thread([job, running, &clock, &mutex, &unitEnded]() {
                    running->record = RunFlashJob(job);
                    running->nDurationMs = clock.NowMs() - running->nStartMs;
                    std::lock_guard lock(mutex);
                    running->bFinished = true;
                    unitEnded.notify_all();
                });
                units.emplace(UnitKey(d), std::move(unit));
            }
        }
        output.Status(counts, stopping);

        // While units are being flashed their forms move the clock; the
        // station waits for one of them to end, or for the next scan.
        if (counts.nInProgress != 0) {
            std::unique_lock lock(mutex);
            unitEnded.wait_for(lock, std::chrono::milliseconds(kScanPeriodMs), [&units]() {
                for (const auto& entry : units) {
                    if (entry.second->bFlashing && entry.second->bFinished) return true;
                }
                return false;
            });
        } else if (!stopping) {
            clock.SleepMs(kScanPeriodMs);
        }
    }

    const int exit = counts.nFailed != 0 ? kExitSomeFailed : kExitSuccess;
    output.Finish(counts, exit);
    return exit;
}
