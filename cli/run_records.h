#pragma once
#include <string>

#include "cli/cli_app.h"
#include "cli/cli_args.h"

class CLogFile;
class CRecordingHost;

// What a run leaves behind for the line: the log and what stdout carried. A
// run whose record failed must never end as a success, and a station must
// not go on flashing units it cannot account for.
class CRunRecords {
public:
    // log: the --log file, or null.
    CRunRecords(const CliOptions& options, CliEnvironment& env, CLogFile* log, const CRecordingHost& recorder)
        : m_options(options), m_env(env), m_pLog(log), m_recorder(recorder)
    {
    }

    // Hands the log to the disk; false when it does not hold every line.
    // Any thread: it reads nothing of stdout.
    bool SyncLog();
    // On the thread that writes stdout, when nothing else writes it: the
    // first time a record has failed, says so on stderr (and in a JSON error
    // event while stdout still takes one); true from then on.
    bool CheckFailed();
    // The exit code as the records leave it: a success whose record failed
    // is exit 1.
    int Exit(int exit);
    // The layer every command of the run goes through.
    const CRecordingHost& Recorder() const { return m_recorder; }

private:
    bool LogFailed() const;

    const CliOptions& m_options;
    CliEnvironment& m_env;
    CLogFile* m_pLog;
    const CRecordingHost& m_recorder;
    bool m_bReported = false;
};
