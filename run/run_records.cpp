#include "run/run_records.h"

#include <chrono>
#include <fstream>
#include <map>

#include "base/clock.h"
#include "base/json_line.h"
#include "base/output_queue.h"
#include "base/process_identity.h"
#include "base/record_file.h"
#include "device/drive_name.h"
#include "device/recording_host.h"
#include "res/app_name.h"
#include "run/exit_codes.h"
#include "run/progress_output.h"
#include "run/run_environment.h"
#include "run/summary.h"

namespace {

// The value of a string field of a JSON line as the log writes it: no
// escapes inside the ids and names this reads back.
std::string Field(const std::string& line, const char* name)
{
    const std::string key = std::string("\"") + name + "\":\"";
    const size_t start = line.find(key);
    if (start == std::string::npos)
        return {};
    const size_t from = start + key.size();
    const size_t end = line.find('"', from);
    return end == std::string::npos ? std::string() : line.substr(from, end - from);
}

}  // namespace

std::string StationName(const CliOptions& options)
{
    return options.stationName.value_or(HostName());
}

std::vector<UnfinishedUnit> FindUnfinishedUnits(const std::string& path, uint64_t tailBytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    const std::streamoff from = size > static_cast<std::streamoff>(tailBytes) ? size - tailBytes : 0;
    in.seekg(from);
    std::string line;
    if (from != 0)
        std::getline(in, line);  // the first line is cut: not ours to read

    std::vector<UnfinishedUnit> started;
    std::map<std::string, size_t> open;  // unit id -> index in started
    for (; std::getline(in, line);) {
        const std::string record = Field(line, "record");
        if (record == "unit-start") {
            open[Field(line, "unit")] = started.size();
            started.push_back({Field(line, "unit"), Field(line, "run"), Field(line, "time"), Field(line, "device"),
                               Field(line, "node"), Field(line, "identity"), 0});
        } else if (record == "unit-end" || record == "unit-unfinished") {
            open.erase(Field(line, "unit"));
        } else if (record.empty() && line.find("\"cdb\":\"fa") != std::string::npos &&
                   line.find("\"result\":\"good\"") != std::string::npos) {
            // A block the device took, of whichever open unit of that run
            // has that drive.
            const std::string run = Field(line, "run");
            const std::string device = Field(line, "drive") + ":";
            for (auto& [id, index] : open) {
                if (started[index].strRun == run && started[index].strDevice == device)
                    ++started[index].nBlocksSent;
            }
        }
    }
    std::erase_if(started, [&open](const UnfinishedUnit& unit) { return open.count(unit.strUnit) == 0; });
    return started;
}

CRunRecords::CRunRecords(const CliOptions& options, CliEnvironment& env, CRecordFile* log, CRecordFile* transcript,
                         const CRecordingHost& recorder, std::string runId)
    : m_options(options), m_env(env), m_pLog(log), m_pTranscript(transcript), m_recorder(recorder),
      m_strRunId(std::move(runId))
{
}

std::function<bool()> CRunRecords::StopWaiting() const
{
    CInterruptFlag* flag = m_env.pInterrupt;
    const uint64_t raised = flag ? flag->RaiseCount() : 0;
    return [flag, raised]() { return flag && flag->RaiseCount() != raised; };
}

std::string CRunRecords::NextId()
{
    return m_strRunId + "-" + std::to_string(m_nNextRecord++);
}

bool CRunRecords::Begin(const char* command, bool announce)
{
    std::string json;
    CJsonLine out(json);
    out.String("run", m_strRunId).String("time", NowUtcText()).Number("pid", ProcessId()).String("host", HostName());
    out.String("version", KT_APP_VERSION_TEXT).String("command", command);
    if (!m_options.strImage.empty())
        out.String("image", m_options.strImage);
    AddImageTrustFields(out, m_trust);
    out.Close();
    // The same object, named as each output names its kind.
    const std::string body = json.substr(1);
    if (m_pLog) {
        const uint64_t mark = m_pLog->WriteLine("{\"record\":\"run-start\"," + body);
        if (!m_pLog->WaitWritten(mark, StopWaiting())) {
            PrintError(m_env, "the run's start could not be recorded in " + m_pLog->Path() + ": " +
                                  m_pLog->ErrorText() + "; nothing was sent");
            m_bReported = true;
            return false;
        }
    }
    if (announce) {
        // A closed or full stdout is found here, before any device.
        if (m_options.bJson) {
            *m_env.pOut << "{\"event\":\"run\"," << body << '\n';
        } else if (m_options.command == CliCommand::Station) {
            *m_env.pOut << "station: run " << m_strRunId << " on " << HostName() << " (process " << ProcessId()
                        << ")\n";
        }
        m_env.pOut->flush();
        if (!m_env.pOutQueue->Flush(false, StopWaiting())) {
            PrintError(m_env, std::string(kErrOutputLost) + "; nothing was sent");
            m_bReported = true;
            return false;
        }
    }
    return true;
}

std::string CRunRecords::UnitStart(const FlashRecord& record, const std::string& identity, const std::string& sha256,
                                   const std::string& serial)
{
    const std::string unit = m_strRunId + "-u" + std::to_string(m_nNextUnit++);
    if (!m_pLog)
        return unit;
    if (!serial.empty()) {
        std::lock_guard lock(m_serialsMutex);
        m_serials[unit] = serial;
    }
    std::string json;
    CJsonLine out(json);
    out.String("record", "unit-start").String("id", NextId()).String("unit", unit).String("run", m_strRunId);
    if (m_options.command == CliCommand::Station)
        out.String("station", StationName(m_options));
    out.String("time", NowUtcText()).String("device", DriveText(record.chDrive)).String("node", record.strNode);
    out.String("identity", identity).String("revision", record.strRevision).String("image", record.strImage);
    if (!serial.empty())
        out.String("serial", serial);
    out.String("checksum", record.strChecksum);
    if (!sha256.empty())
        out.String("sha256", sha256);
    AddImageTrustFields(out, m_trust);
    out.Close();
    const uint64_t mark = m_pLog->WriteLine(json);
    // A log on a disk is waited for: after a crash it must hold this unit.
    // A FIFO's reader may never read: the device does not wait on it.
    if (m_pLog->IsRegular())
        m_pLog->WaitWritten(mark, StopWaiting());
    return unit;
}

void CRunRecords::RecordUnitEnd(const UnitEnd& end)
{
    if (!m_pLog)
        return;
    std::string json;
    CJsonLine out(json);
    out.String("record", "unit-end").String("id", NextId());
    if (!end.strUnit.empty())
        out.String("unit", end.strUnit);
    out.String("run", m_strRunId);
    if (m_options.command == CliCommand::Station)
        out.String("station", StationName(m_options));
    out.String("time", NowUtcText()).String("device", DriveText(end.chDrive));
    out.String("node", end.strNode).String("identity", end.strIdentity);
    std::string serial;
    {
        std::lock_guard lock(m_serialsMutex);
        if (const auto it = m_serials.find(end.strUnit); it != m_serials.end()) {
            serial = it->second;
            m_serials.erase(it);
        }
    }
    if (!serial.empty())
        out.String("serial", serial);
    out.String("old_revision", end.strOldRevision).String("new_revision", end.strNewRevision);
    out.Bool("revision_changed", !end.strNewRevision.empty() && end.strNewRevision != end.strOldRevision);
    out.String("result", end.result).Number("exit_code", end.exit).String("exit_name", CliExitName(end.exit));
    if (end.reason)
        out.String("reason", end.reason);
    out.Number("duration_ms", end.nDurationMs).String("message", end.strMessage);
    if (!end.strChecksum.empty())
        out.String("checksum", end.strChecksum);
    if (!end.strSha256.empty())
        out.String("sha256", end.strSha256);
    out.Number("blocks_sent", end.nBlocksSent).Number("blocks", end.nBlocks);
    AddImageTrustFields(out, m_trust);
    out.Close();
    m_pLog->WriteLine(json);
}

void CRunRecords::RecordUnfinished(const UnfinishedUnit& unit)
{
    if (!m_pLog)
        return;
    std::string json;
    CJsonLine out(json);
    out.String("record", "unit-unfinished").String("id", NextId()).String("unit", unit.strUnit);
    out.String("run", m_strRunId).String("time", NowUtcText()).String("started", unit.strTime);
    out.String("device", unit.strDevice).String("node", unit.strNode).String("identity", unit.strIdentity);
    out.Number("blocks_sent", unit.nBlocksSent).Close();
    m_pLog->WriteLine(json);
}

bool CRunRecords::Sync()
{
    const std::function<bool()> stop = StopWaiting();
    const bool transcriptSynced = !m_pTranscript || m_pTranscript->Sync(stop);
    const bool logSynced = !m_pLog || m_pLog->Sync(stop);
    return transcriptSynced && logSynced && !m_recorder.LogFailed();
}

bool CRunRecords::TranscriptHolds()
{
    return !m_pTranscript || m_pTranscript->Flush(StopWaiting());
}

std::string CRunRecords::TranscriptUnwritable() const
{
    return "cannot write the transcript file " + m_pTranscript->Path() + ": " + m_pTranscript->ErrorText();
}

int CRunRecords::Settle(int exit)
{
    const std::function<bool()> stop = StopWaitingForReader(m_env);
    for (CRecordFile* file : {m_pTranscript, m_pLog}) {
        if (file && !file->Flush(stop) && !file->Failed())
            m_strUnread = file->Path();
    }
    return CheckFailed() && exit == kExitSuccess ? kExitError : exit;
}

std::function<bool()> StopWaitingForReader(CliEnvironment& env)
{
    CInterruptFlag* flag = env.pInterrupt;
    const uint64_t raised = flag ? flag->RaiseCount() : 0;
    const auto start = std::chrono::steady_clock::now();
    return [&env, flag, raised, start]() {
        const auto waited = std::chrono::steady_clock::now() - start;
        if (!env.bToldWaitingForReader && waited > std::chrono::seconds(1)) {
            env.bToldWaitingForReader = true;
            *env.pErr << kCliProgramName << ": "
                      << "the devices are done; waiting for the reader of the output to take the rest (Ctrl-C gives up)"
                      << '\n'
                      << std::flush;
        }
        return flag && flag->IsRaised() && (flag->RaiseCount() != raised || waited > std::chrono::seconds(2));
    };
}

std::string CRunRecords::FailureText() const
{
    if (!m_strUnread.empty())
        return m_strUnread + " was not read to its end: its reader stopped reading";
    if (m_pLog && m_pLog->Replaced())
        return "the log file was deleted or replaced while the tool wrote to it: " + m_pLog->Path();
    if (m_pLog && (m_pLog->Failed() || m_recorder.LogFailed()))
        return "the log is incomplete: a line could not be written to " + m_pLog->Path() +
               (m_pLog->Failed() ? ": " + m_pLog->ErrorText() : "");
    if (m_pTranscript && m_pTranscript->Failed())
        return "the transcript file " + m_pTranscript->Path() +
               " could not be written to the end: " + m_pTranscript->ErrorText();
    if (m_env.pOutQueue && m_env.pOutQueue->Failed())
        return kErrOutputLost;
    return {};
}

void CRunRecords::FollowRenames()
{
    for (CRecordFile* file : {m_pLog, m_pTranscript}) {
        if (file)
            file->FollowRenames();
    }
}

void CRunRecords::FollowRotation()
{
    for (auto [file, told] : {std::pair{m_pLog, &m_nLogReopened}, std::pair{m_pTranscript, &m_nTranscriptReopened}}) {
        if (!file)
            continue;
        file->FollowRename();
        if (file->Reopened() == *told)
            continue;
        *told = file->Reopened();
        PrintError(m_env,
                   file->Path() + " was renamed away (rotated): the station writes on in a new file at that path");
    }
}

bool CRunRecords::CheckFailed()
{
    std::lock_guard lock(m_mutex);
    if (m_bReported)
        return true;
    const std::string error = FailureText();
    if (error.empty())
        return false;
    m_bReported = true;
    PrintError(m_env, error);
    if (m_options.bJson && error != kErrOutputLost) {
        std::string json;
        CJsonLine(json).String("event", "error").String("text", error).Close();
        *m_env.pOut << json << '\n';
        m_env.pOut->flush();
    }
    return true;
}

UnitEnd UnitEndOf(const FlashRecord& record, const std::string& identity)
{
    UnitEnd end;
    end.strUnit = record.strUnit;
    end.chDrive = record.chDrive;
    end.strNode = record.strNode;
    end.strIdentity = identity.empty() ? IdentityText(record.strIdentity) : identity;
    end.strOldRevision = record.strRevision;
    end.strNewRevision = record.strNewRevision;
    end.exit = record.exit;
    end.result = record.bSkipped ? kResultSkipped : record.exit == kExitSuccess ? kResultPassed : kResultFailed;
    end.strMessage = record.ResultText();
    end.nBlocksSent = record.nBlocksSent;
    end.nBlocks = record.nBlocks;
    end.strChecksum = record.strChecksum;
    return end;
}
