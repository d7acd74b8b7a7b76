#include "run/station.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/json_line.h"
#include "device/command_set.h"
#include "device/drive_name.h"
#include "form/inquiry_text.h"
#include "run/device_list.h"
#include "run/drive_hold.h"
#include "run/exit_codes.h"
#include "run/flash_job.h"
#include "run/flash_plan.h"
#include "run/identity_guard.h"
#include "run/image_check.h"
#include "run/progress_output.h"
#include "run/run_environment.h"
#include "run/run_records.h"
#include "run/summary.h"

namespace {

// Attach and detach are seen by listing the drives this often; listing sends
// no command, so idle drives hear nothing from the station.
constexpr uint32_t kScanPeriodMs = 500;

// Why a unit got nothing, with the exit code its own flash would have had.
struct SkipReason {
    const char* name = nullptr;  // null: the unit is flashed
    CliExit exit = kExitSuccess;
    std::string strText;
};
constexpr char kSkipWrongDevice[] = "wrong-device";
constexpr char kSkipNewerRevision[] = "newer-revision";
constexpr char kSkipAlreadyUpdated[] = "already-updated";
constexpr char kSkipInterrupted[] = "interrupted";
constexpr char kSkipImageChanged[] = "image-changed";
constexpr char kSkipNoRecord[] = "no-record";
constexpr char kSkipImageUnreadable[] = "image-unreadable";

struct StationCounts {
    int nPassed = 0;
    int nFailed = 0;
    int nSkipped = 0;
    int nSkippedWrong = 0;  // of nSkipped: not the expected device
    int nInProgress = 0;
};

constexpr uint64_t kUnfinishedTailBytes = 8 << 20;  // of the log, read for units a crash left

// One appearance of a device: from the scan that found it until the scan
// that misses it, once its flash (if any) has ended.
struct Unit {
    char chDrive = 0;
    std::string strNode;
    std::string strTime;  // when it was found, UTC
    ListedDevice identity;
    bool bFlashing = false;
    bool bLeft = false;  // a scan missed it while it was flashed
    std::atomic<bool> bFinished{false};
    uint64_t nStartMs = 0;
    uint64_t nDurationMs = 0;
    FlashRecord record;
    std::unique_ptr<CDriveHold> hold;  // the drive, the unit's flash's alone
    std::unique_ptr<IFlashObserver> observer;
    std::thread thread;
};

std::string IdentityOf(const ListedDevice& device)
{
    if (!device.bAnswered)
        return "(no answer)";
    return VendorProductText(device.strVendor, device.strProduct);
}

// What the run came to, for a person: the last message, the notes and the
// sense the device answered with. A check the tool failed after the form's
// success comes first, and the form's own message is labelled as the form's,
// so "Update success!!" never opens a failed unit's line.
std::string FailureText(const FlashRecord& record)
{
    std::vector<std::string> parts;
    if (record.bInterrupted)
        parts.push_back("interrupted");
    else if (!record.strCheckFailure.empty())
        parts.push_back(record.strCheckFailure);
    if (!record.bInterrupted && !record.messages.empty()) {
        parts.push_back(record.strCheckFailure.empty() ? record.messages.back()
                                                       : "the form said \"" + record.messages.back() + "\"");
    }
    if (!record.strSense.empty())
        parts.push_back(record.strSense + " " + record.strSenseText);
    if (!record.strHostError.empty())
        parts.push_back(record.strHostError);
    for (const std::string& note : record.notes) {
        if (note != record.strCheckFailure)
            parts.push_back(note);
    }
    std::string text;
    for (const std::string& part : parts)
        text += (text.empty() ? "" : "; ") + part;
    return text;
}

// The unit answered after its flash with another revision than before: the
// only sign, without --new-revision, that it runs the new firmware.
bool RevisionChanged(const Unit& unit)
{
    return !unit.record.strNewRevision.empty() &&
           WithoutTrailingBlanks(unit.record.strNewRevision) != WithoutTrailingBlanks(unit.identity.strRevision);
}

// The scan saw the unit leave while its flash waited for it to come back: it
// was pulled, not silent.
bool RemovedWhileRestarting(const Unit& unit)
{
    return unit.bLeft && unit.record.exit == kExitNoReturn;
}

// The unit's end record: its line, its JSON event and its record in the log
// all tell this. reason: of a skipped unit.
UnitEnd StationUnitEnd(const Unit& unit, const char* result, const char* reason, int exit, const std::string& detail,
                       const ImageDigest& image)
{
    UnitEnd end = UnitEndOf(unit.record, IdentityOf(unit.identity));
    end.chDrive = unit.chDrive;
    end.strNode = unit.strNode;
    end.strOldRevision = unit.identity.strRevision;
    end.result = result;
    end.reason = reason;
    end.exit = exit;
    end.strMessage = detail;
    end.nDurationMs = unit.nDurationMs;
    if (result != kResultSkipped) {
        end.strChecksum = ChecksumText(image.nChecksum);
        end.strSha256 = Sha256Text(image);
    }
    return end;
}

std::string UnitLine(const Unit& unit, const UnitEnd& end)
{
    std::string line = unit.strTime + "  " + DriveText(end.chDrive) + " " + end.strNode + "  " +
                       IdentityOf(unit.identity) + "  " + end.strOldRevision;
    if (end.result == kResultPassed) {
        line += " -> " + end.strNewRevision;
        if (!RevisionChanged(unit))
            line += " (revision unchanged)";
    }
    line += std::string("  ") + end.result;
    if (end.result == kResultSkipped) {
        line += std::string(" (") + end.reason + ")";
    } else {
        if (end.result == kResultFailed)
            line += std::string(" (") + CliExitName(end.exit) + ")";
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "  %.1f s  ", static_cast<double>(end.nDurationMs) / 1000.0);
        line += seconds + ("image " + end.strChecksum + " sha256 " + end.strSha256);
    }
    if (!end.strMessage.empty())
        line += ": " + end.strMessage;
    return line;
}

std::string UnitJson(const Unit& unit, const UnitEnd& end)
{
    std::string json;
    CJsonLine out(json);
    out.String("event", "unit").String("time", unit.strTime).String("device", DriveText(end.chDrive));
    out.String("node", end.strNode).String("identity", IdentityOf(unit.identity));
    out.String("old_revision", end.strOldRevision).String("new_revision", end.strNewRevision);
    if (end.result != kResultSkipped) {
        out.String("unit", end.strUnit).Bool("revision_changed", RevisionChanged(unit));
        out.Bool("removed", RemovedWhileRestarting(unit));
    }
    out.String("result", end.result).Number("exit_code", end.exit).String("exit_name", CliExitName(end.exit));
    out.Number("duration_ms", end.nDurationMs).String("message", end.strMessage);
    if (end.result == kResultSkipped)
        out.String("reason", end.reason);
    else
        out.String("checksum", end.strChecksum).String("sha256", end.strSha256);
    // The form's last message box, apart from the tool's verdict in message.
    if (!unit.record.messages.empty())
        out.String("form_message", unit.record.messages.back());
    if (!unit.record.strSense.empty())
        out.String("sense", unit.record.strSense).String("sense_text", unit.record.strSenseText);
    out.Close();
    return json;
}

// The station's own output: one line per unit on stdout, and on a live
// terminal a status line on stderr that the unit lines pass above.
class CStationOutput {
public:
    CStationOutput(CliEnvironment& env, bool json, std::string waitingFor)
        : m_env(env), m_bJson(json), m_strWaitingFor(std::move(waitingFor))
    {
    }

    void Begin()
    {
        if (!m_env.bErrIsTerminal) {
            *m_env.pErr << kCliProgramName << ": station: waiting for " << m_strWaitingFor
                        << "; Ctrl-C stops (a unit being flashed is never abandoned)\n";
            m_env.pErr->flush();
        }
    }

    // Units' threads announce held interrupts meanwhile.
    void Unit(const ::Unit& unit, const UnitEnd& end)
    {
        std::lock_guard lock(m_mutex);
        ClearStatus();
        Put(*m_env.pOut, m_bJson ? UnitJson(unit, end) : UnitLine(unit, end));
        DrawStatus();
    }

    // A trouble of the whole station, on stderr and as a JSON error event.
    void Error(const std::string& text)
    {
        std::lock_guard lock(m_mutex);
        ClearStatus();
        PrintError(m_env, text);
        if (m_bJson) {
            std::string json;
            CJsonLine(json).String("event", "error").String("text", text).Close();
            Put(*m_env.pOut, json);
        }
        DrawStatus();
    }

    // From the unit's thread, once its start is in the log and before its
    // first block: after a crash, the events show the unit was under way.
    void UnitStarted(const ::Unit& unit, const FlashRecord& record)
    {
        if (!m_bJson)
            return;
        std::string json;
        CJsonLine out(json);
        out.String("event", "unit-start").String("time", NowUtcText()).String("unit", record.strUnit);
        out.String("device", DriveText(unit.chDrive)).String("node", unit.strNode);
        out.String("identity", IdentityOf(unit.identity)).String("revision", unit.identity.strRevision).Close();
        std::lock_guard lock(m_mutex);
        Put(*m_env.pOut, json);
    }

    // A unit an earlier run of this log started and never ended.
    void Unfinished(const UnfinishedUnit& unit)
    {
        std::lock_guard lock(m_mutex);
        const std::string text = unit.strDevice + " " + unit.strNode + " " + unit.strIdentity +
                                 ": its flash started at " + unit.strTime + " (run " + unit.strRun + ") and never " +
                                 "ended; " + std::to_string(unit.nBlocksSent) +
                                 " blocks were taken: set the unit aside and flash it again";
        PrintError(m_env, text);
        if (m_bJson) {
            std::string json;
            CJsonLine out(json);
            out.String("event", "unfinished-unit").String("unit", unit.strUnit).String("run", unit.strRun);
            out.String("started", unit.strTime).String("device", unit.strDevice).String("node", unit.strNode);
            out.String("identity", unit.strIdentity).Number("blocks_sent", unit.nBlocksSent);
            out.String("text", text).Close();
            Put(*m_env.pOut, json);
        }
    }

    // Said at once, from the unit's thread: the transfer runs on and the
    // station stops only after it.
    void Held(const ::Unit& unit, const std::string& text)
    {
        std::lock_guard lock(m_mutex);
        ClearStatus();
        const std::string drive = DriveText(unit.chDrive);
        if (m_bJson) {
            std::string json;
            CJsonLine out(json);
            out.String("event", "interrupt").String("time", NowUtcText()).String("device", drive);
            out.String("node", unit.strNode).String("text", text).Close();
            Put(*m_env.pOut, json);
        } else {
            Put(*m_env.pErr, drive + " " + unit.strNode + " " + text);
        }
        DrawStatus();
    }

    void Status(const StationCounts& counts, bool stopping)
    {
        std::lock_guard lock(m_mutex);
        char text[160];
        std::snprintf(text, sizeof text, "station: %d passed, %d failed, %d skipped, %d in progress; ", counts.nPassed,
                      counts.nFailed, counts.nSkipped, counts.nInProgress);
        m_strStatus = text + (stopping ? std::string("stopping, waiting for the units in progress")
                                       : "waiting for " + m_strWaitingFor + " (Ctrl-C stops)");
        DrawStatus();
    }

    void Finish(const StationCounts& counts, int exit)
    {
        std::lock_guard lock(m_mutex);
        ClearStatus();
        if (m_bJson) {
            std::string json;
            CJsonLine out(json);
            out.String("event", "summary").Number("passed", counts.nPassed).Number("failed", counts.nFailed);
            out.Number("skipped", counts.nSkipped)
                .String("result", CliExitName(exit))
                .Number("exit_code", exit)
                .Close();
            Put(*m_env.pOut, json);
        } else {
            Put(*m_env.pOut, "station: " + std::to_string(counts.nPassed) + " passed, " +
                                 std::to_string(counts.nFailed) + " failed, " + std::to_string(counts.nSkipped) +
                                 " skipped");
        }
    }

private:
    static void Put(std::ostream& stream, const std::string& line)
    {
        stream << line << '\n';
        stream.flush();
    }
    void DrawStatus()
    {
        if (!m_env.bErrIsTerminal || m_strStatus.empty())
            return;
        const size_t width = m_env.terminalColumns ? m_env.terminalColumns() : kDefaultTerminalColumns;
        // One column short of the width, so the cursor never wraps.
        const size_t room = width > 1 ? width - 1 : 1;
        *m_env.pErr << '\r' << m_strStatus.substr(0, room) << "\x1b[K";
        m_env.pErr->flush();
    }
    void ClearStatus()
    {
        if (!m_env.bErrIsTerminal)
            return;
        *m_env.pErr << "\r\x1b[K";
        m_env.pErr->flush();
    }

    std::mutex m_mutex;  // units' threads announce a held interrupt
    CliEnvironment& m_env;
    bool m_bJson;
    std::string m_strWaitingFor;
    std::string m_strStatus;
};

// What the station waits for, as the status line names it.
std::string ExpectedUnitsText(const CliOptions& options)
{
    std::string text = "\"" + WithoutTrailingBlanks(options.expected.identity.value_or("")) + "\"";
    if (options.expected.revision)
        text += " revision " + WithoutTrailingBlanks(*options.expected.revision);
    return text + " units";
}

// No name for a unit to flash. A unit that already runs the new revision
// was flashed before (a device that re-enumerates while it restarts comes
// back under another node) and is not flashed again: no failure of it.
SkipReason SkipReasonOf(const CliOptions& options, const ListedDevice& device)
{
    const std::string mismatch = IdentityMismatch(options.expected, device);
    // The right device, but the signed image would take it back to an older
    // revision.
    IdentityExpectation identityOnly = options.expected;
    identityOnly.newestRevision.reset();
    if (!mismatch.empty())
        return {device.bAnswered && IdentityMismatch(identityOnly, device).empty() ? kSkipNewerRevision
                                                                                   : kSkipWrongDevice,
                kExitWrongDevice, mismatch};
    const std::string revision = WithoutTrailingBlanks(options.newRevision.value_or(""));
    if (options.newRevision && WithoutTrailingBlanks(device.strRevision) == revision)
        return {kSkipAlreadyUpdated, kExitSuccess,
                DriveText(device.chDrive) + " already runs revision " + revision + "; nothing was sent"};
    return {};
}

std::string UnitKey(char drive, const std::string& node)
{
    return std::string(1, drive) + "|" + node;
}

// Passes a unit's start and held interrupt to the station's output; the
// unit's other events make no line of their own.
class CUnitEvents final : public IFlashObserver {
public:
    CUnitEvents(CStationOutput& output, const Unit& unit) : m_output(output), m_unit(unit) {}
    void OnFlashEvent(const FlashEvent& event, const FlashRecord& record, uint64_t) override
    {
        if (event.kind == FlashEventKind::InterruptHeld)
            m_output.Held(m_unit, event.strText);
        if (event.kind == FlashEventKind::Start)
            m_output.UnitStarted(m_unit, record);
    }

private:
    CStationOutput& m_output;
    const Unit& m_unit;
};

// A station's shift: the units it has seen, their flashes, and why it stops.
class CStation {
public:
    CStation(const CliOptions& options, IScsiHost& host, IClock& clock, CliEnvironment& env, CRunRecords& records,
             const ImageCheck& check, std::unique_ptr<ILineLink> line)
        : m_options(options), m_host(host), m_clock(clock), m_env(env), m_records(records), m_check(check),
          m_line(std::move(line)), m_output(env, options.bJson, ExpectedUnitsText(options))
    {
    }

    // Takes units until it stops, and waits for those in progress; the exit code.
    int Run()
    {
        TellUnfinished();
        m_records.FollowRenames();
        m_output.Begin();
        while (true) {
            EndFinishedUnits();
            m_records.FollowRotation();
            if (!m_bRecordsFailed && m_records.CheckFailed()) {
                m_bRecordsFailed = true;
                PrintError(m_env,
                           "station: units that cannot be accounted for are not flashed: no more units are taken");
            }
            const bool stopping =
                m_env.Interrupted() || Enough() || m_bImageProblem || m_bRecordsFailed || m_bTranscriptFailed;
            if (stopping && m_counts.nInProgress == 0)
                break;
            if (!stopping)
                Scan();
            m_output.Status(m_counts, stopping);
            if (m_line) {
                // The station sends the line nothing itself: the unit records
                // it wrote to the log are the line's spool, which the line's
                // thread reads back and sends until the collector stored
                // them. This only wakes that thread for what the log took.
                m_line->RecordsWritten();
                m_line->Status(m_counts.nInProgress, m_counts.nPassed, m_counts.nFailed, stopping);
            }
            WaitForNextLook(stopping);
        }
        return Finish();
    }

private:
    bool Enough() const
    {
        return m_options.units && m_counts.nPassed + m_counts.nFailed >= static_cast<int>(*m_options.units);
    }

    // What a crash of an earlier run left half-flashed is told first, and on
    // the record, so it is told once.
    void TellUnfinished()
    {
        if (!m_options.log)
            return;
        for (const UnfinishedUnit& unfinished : FindUnfinishedUnits(*m_options.log, kUnfinishedTailBytes)) {
            if (unfinished.strRun == m_records.RunId())
                continue;
            m_output.Unfinished(unfinished);
            m_records.RecordUnfinished(unfinished);
        }
    }

    // The unit's line and its record.
    void Report(const Unit& unit, const char* result, const char* reason, int exit, const std::string& detail)
    {
        const UnitEnd end = StationUnitEnd(unit, result, reason, exit, detail, m_check.digest);
        m_output.Unit(unit, end);
        m_records.RecordUnitEnd(end);
    }

    void Skip(const Unit& unit, const SkipReason& skip)
    {
        ++m_counts.nSkipped;
        if (skip.exit == kExitWrongDevice)
            ++m_counts.nSkippedWrong;
        Report(unit, kResultSkipped, skip.name, skip.exit, skip.strText);
    }

    // Units whose flash ended get their line; one that left while it was
    // flashed is forgotten, so what its drive holds now is a new unit.
    void EndFinishedUnits()
    {
        for (auto it = m_units.begin(); it != m_units.end();) {
            Unit& unit = *it->second;
            if (!unit.bFlashing || !unit.bFinished) {
                ++it;
                continue;
            }
            EndUnit(unit);
            // One that left during its restart and answered again was
            // followed to where it came back (its drive, maybe a new node):
            // it is still this unit, not a new one to flash.
            if (unit.bLeft && unit.record.exit == kExitSuccess) {
                auto entry = m_units.extract(it++);
                entry.key() = UnitKey(unit.chDrive, m_host.DriveNodeText(unit.chDrive));
                entry.mapped()->bLeft = false;
                m_units.insert(std::move(entry));
                continue;
            }
            it = unit.bLeft ? m_units.erase(it) : std::next(it);
        }
    }

    // A unit's flash ended: its line and its record.
    void EndUnit(Unit& unit)
    {
        unit.thread.join();
        unit.bFlashing = false;
        --m_counts.nInProgress;
        const FlashRecord& record = unit.record;
        // The form found another image in the file than the station checked.
        const bool imageChanged = record.outcome == FlashOutcome::ImageChanged;
        if (record.exit == kExitImageUnreadable && !m_bImageProblem) {
            m_bImageProblem = true;
            m_output.Error(imageChanged
                               ? "the image " + m_options.strImage + " changed since the station checked it (image " +
                                     ChecksumText(m_check.digest.nChecksum) + " sha256 " + Sha256Text(m_check.digest) +
                                     "); no more units are taken"
                               : "the image " + m_options.strImage + " cannot be read; no more units are taken");
        }
        // Ctrl-C before its transfer began (its survey, the start delay): the
        // unit got nothing but INQUIRY and was not flashed.
        if (record.bInterrupted && record.nBlockWrites == 0 && !record.bDownloadModeSent) {
            Skip(unit, {kSkipInterrupted, kExitInterrupted,
                        "interrupted before its transfer: nothing was written to the unit"});
        } else if (record.exit == kExitImageUnreadable) {
            // The form found another image, or none, and sent nothing: the
            // unit is as it came.
            Skip(unit,
                 {imageChanged ? kSkipImageChanged : kSkipImageUnreadable, kExitImageUnreadable, FailureText(record)});
        } else {
            const bool passed = record.exit == kExitSuccess;
            ++(passed ? m_counts.nPassed : m_counts.nFailed);
            m_bUnitInterrupted = m_bUnitInterrupted || record.bInterrupted;
            std::string detail = passed ? std::string() : FailureText(record);
            if (RemovedWhileRestarting(unit))
                detail = "removed while it restarted (the host saw it leave): " + detail;
            Report(unit, passed ? kResultPassed : kResultFailed, nullptr, record.exit, detail);
        }
        // The line's record is on the disk before the next unit.
        m_records.Sync();
    }

    // Attach and detach, by listing the drives; new units are taken.
    void Scan()
    {
        const std::vector<ListedDevice> devices = ListDevices(m_host, false);
        std::set<std::string> present;
        for (const ListedDevice& d : devices)
            present.insert(UnitKey(d.chDrive, d.strNode));
        // A drive the scan found busy is still attached: a unit being flashed
        // is held for this program alone, and its own scan cannot open it.
        // Taken for gone, it would be flashed again at its end.
        for (char drive : BusyDrives(m_host))
            present.insert(UnitKey(drive, m_host.DriveNodeText(drive)));
        // A unit that has gone away may come back as a new one.
        for (auto it = m_units.begin(); it != m_units.end();) {
            const bool gone = present.count(it->first) == 0;
            if (gone && it->second->bFlashing)
                it->second->bLeft = true;
            it = !it->second->bFlashing && gone ? m_units.erase(it) : std::next(it);
        }
        // Units the line does not allow now are taken once it does.
        if (m_line && !m_line->MayTakeUnits())
            return;
        for (const ListedDevice& d : devices) {
            if (!d.chDrive || m_units.count(UnitKey(d.chDrive, d.strNode)) != 0)
                continue;
            if (m_options.units && m_nStarted >= *m_options.units)
                break;
            TakeUnit(d);
            if (m_bTranscriptFailed)
                break;
        }
    }

    // Taken first, as flash takes its drives: the unit's one INQUIRY and its
    // flash go through the same hold, and a unit another program holds is
    // not asked; its run says it is busy.
    void TakeUnit(const ListedDevice& d)
    {
        auto unit = std::make_unique<Unit>();
        unit->chDrive = d.chDrive;
        unit->strNode = d.strNode;
        unit->strTime = NowUtcText();
        unit->hold = HoldDrive(m_host, d.chDrive, m_clock, m_env);
        if (unit->hold->GetState() == CDriveHold::State::NotOffered && m_toldNoExclusiveAccess.insert(d.chDrive).second)
            PrintError(m_env, kNoteNoExclusiveAccess + DriveText(d.chDrive));
        const bool busy = unit->hold->GetState() == CDriveHold::State::Busy;
        // The one command a new device hears before it is known to be the
        // expected one.
        if (!busy)
            unit->identity = IdentifyDrive(*unit->hold, d.chDrive);
        const SkipReason skip = WhyNotFlashed(*unit, busy);
        if (skip.name) {
            unit->hold->Release();
            Skip(*unit, skip);
            m_records.Sync();
        } else {
            StartFlash(*unit);
        }
        m_units.emplace(UnitKey(d.chDrive, d.strNode), std::move(unit));
    }

    // Why a unit just taken gets nothing; no name: it is flashed.
    SkipReason WhyNotFlashed(const Unit& unit, bool busy)
    {
        if (!m_records.TranscriptHolds()) {
            // A transcript that no longer takes the unit's INQUIRY would miss
            // its flash: the unit is left as it is and the station stops, as
            // flash stops before its transfer.
            const std::string error = m_records.TranscriptUnwritable();
            PrintError(m_env, error + "; " + std::string(1, unit.chDrive) + ": was not flashed, the station stops");
            m_bTranscriptFailed = true;
            return {kSkipNoRecord, kExitError, error + "; the flash was not started"};
        }
        // Ctrl-C before the flash is the form's to see: its run ends
        // untouched, and skipped as interrupted.
        SkipReason skip = busy ? SkipReason{} : SkipReasonOf(m_options, unit.identity);
        if (!skip.name && m_records.CheckFailed())
            skip = {kSkipNoRecord, kExitError, "the run's record cannot be written: the unit was not flashed"};
        return skip;
    }

    // The unit's flash, on a thread of its own.
    void StartFlash(Unit& unit)
    {
        ++m_nStarted;
        ++m_counts.nInProgress;
        unit.bFlashing = true;
        unit.nStartMs = m_clock.NowMs();
        unit.observer = std::make_unique<CUnitEvents>(m_output, unit);
        FlashJob job = MakeFlashJob(m_options, m_check, m_host, m_clock, m_env, m_records);
        job.chDrive = unit.chDrive;
        job.strNode = unit.strNode;
        job.pHold = unit.hold.get();
        job.pObserver = unit.observer.get();
        job.heldImage = m_check.digest;
        Unit* running = &unit;
        unit.thread = std::thread([this, job, running]() {
            running->record = RunFlashJob(job);
            running->nDurationMs = m_clock.NowMs() - running->nStartMs;
            std::lock_guard lock(m_mutex);
            running->bFinished = true;
            m_unitEnded.notify_all();
        });
    }

    // While units are being flashed their forms move the clock; the station
    // waits for one of them to end, or for the next scan.
    void WaitForNextLook(bool stopping)
    {
        if (m_counts.nInProgress != 0) {
            std::unique_lock lock(m_mutex);
            m_unitEnded.wait_for(lock, std::chrono::milliseconds(kScanPeriodMs), [this]() {
                for (const auto& entry : m_units) {
                    if (entry.second->bFlashing && entry.second->bFinished)
                        return true;
                }
                return false;
            });
        } else if (!stopping) {
            m_clock.SleepMs(kScanPeriodMs);
        }
    }

    int Finish()
    {
        // Without --units Ctrl-C is the end of a shift; with it, the station
        // was told how many units to end and did not get there.
        const bool interrupted = m_bUnitInterrupted || (m_env.Interrupted() && m_options.units && !Enough());
        if (m_line)
            m_line->Close(m_counts.nPassed, m_counts.nFailed);
        // The summary is the last word: the records are settled before it.
        const int exit = m_records.Settle(RunExit({.nPassed = m_counts.nPassed,
                                                   .nFailed = m_counts.nFailed,
                                                   .nSkippedWrong = m_counts.nSkippedWrong,
                                                   .bInterrupted = interrupted,
                                                   .bImageProblem = m_bImageProblem}));
        m_output.Finish(m_counts, exit);
        return exit;
    }

    const CliOptions& m_options;
    IScsiHost& m_host;
    IClock& m_clock;
    CliEnvironment& m_env;
    CRunRecords& m_records;
    const ImageCheck& m_check;
    const std::unique_ptr<ILineLink> m_line;
    CStationOutput m_output;
    std::map<std::string, std::unique_ptr<Unit>> m_units;
    StationCounts m_counts;
    uint32_t m_nStarted = 0;
    std::set<char> m_toldNoExclusiveAccess;
    bool m_bImageProblem = false;  // the file no longer holds the checked image, or cannot be read
    bool m_bRecordsFailed = false;
    bool m_bTranscriptFailed = false;
    bool m_bUnitInterrupted = false;  // Ctrl-C cut a unit's run short
    std::mutex m_mutex;
    std::condition_variable m_unitEnded;
};

}  // namespace

int CommandStation(const CliOptions& options, IScsiHost& host, IClock& clock, CliEnvironment& env, CRunRecords& records,
                   const LineJoiner& joinLine)
{
    // The image is read whole once; every unit is held to these bytes.
    const ImageCheck check = CheckImage(options.strImage, true);
    if (check.exit != kExitSuccess) {
        PrintError(env, check.strError + "; nothing was sent");
        return EarlyEnd(options, env, check.exit, check.strError);
    }
    if (records.Trust().bChecked && !(records.Trust().digest == check.digest)) {
        const std::string error = "the image " + options.strImage + " changed since its signature was checked";
        PrintError(env, error + "; nothing was sent");
        return EarlyEnd(options, env, kExitImageUnreadable, error);
    }
    std::unique_ptr<ILineLink> line;
    if (options.line) {
        int exit = kExitError;
        if (!(line = joinLine(check, records.Trust(), exit)))
            return EarlyEnd(options, env, static_cast<CliExit>(exit), "the station could not join its line");
    }
    return CStation(options, host, clock, env, records, check, std::move(line)).Run();
}
