#include "cli/run_records.h"

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/log_file.h"
#include "device/json_line.h"
#include "device/recording_host.h"

namespace {

constexpr char kErrLogIncomplete[] = "the log is incomplete: a line could not be written to ";
constexpr char kErrLogNotSynced[] = "the log could not be written to the disk: ";
constexpr char kErrOutputLost[] = "standard output could not be written: records were lost";

}  // namespace

bool CRunRecords::LogFailed() const
{
    return m_pLog && (m_recorder.LogFailed() || m_pLog->SyncFailed());
}

bool CRunRecords::SyncLog()
{
    if (m_pLog)
        m_pLog->Sync();
    return !LogFailed();
}

bool CRunRecords::CheckFailed()
{
    if (m_bReported)
        return true;
    const bool outputFailed = !*m_env.pOut;
    if (!outputFailed && !LogFailed())
        return false;
    m_bReported = true;
    std::string error = kErrOutputLost;
    if (!outputFailed) {
        error = (m_recorder.LogFailed() ? kErrLogIncomplete : kErrLogNotSynced) + m_pLog->Path();
    }
    PrintError(m_env, error);
    if (m_options.bJson && !outputFailed) {
        std::string json;
        CJsonLine(json).String("event", "error").String("text", error).Close();
        *m_env.pOut << json << '\n';
        m_env.pOut->flush();
    }
    return true;
}

int CRunRecords::Exit(int exit)
{
    return CheckFailed() && exit == kExitSuccess ? kExitError : exit;
}
