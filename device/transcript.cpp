#include "device/transcript.h"

#include <cstring>

#include "base/json_line.h"
#include "device/sense_text.h"

std::size_t FormatTranscriptLine(const TranscriptRecord& record, char (&line)[kTranscriptLineMax])
{
    CJsonLine out(line, kTranscriptLineMax);
    out.Number("t_ms", record.tMs);
    if (!record.time.empty())
        out.String("time", record.time);
    if (!record.run.empty())
        out.String("run", record.run);
    out.String("drive", record.drive != '\0' ? std::string_view(&record.drive, 1) : "-");
    if (!record.node.empty())
        out.String("node", record.node);
    out.Hex("cdb", record.cdb, sizeof record.cdb);
    out.String("dir", record.dataIn ? "in" : "out").Number("len", record.length);
    out.String("result", record.result);
    if (record.scsiStatus >= 0) {
        const uint8_t status = static_cast<uint8_t>(record.scsiStatus);
        out.Hex("status", &status, 1);
        if (const char* name = ScsiStatusName(status))
            out.String("status_name", name);
    }
    out.Hex("sense", record.sense, sizeof record.sense);
    const SenseCode sense{record.sense[0], record.sense[1], record.sense[2]};
    if (record.bSenseWords && !sense.IsEmpty()) {
        out.String("sense_key", SenseKeyName(sense.key));
        const char* additional = AdditionalSenseText(sense.asc, sense.ascq);
        out.String("sense_asc", additional != nullptr ? additional : "not known to this tool");
    }
    if (!record.dataIn && record.dataSha256[0] != '\0')
        out.String("data_sha256", std::string_view(record.dataSha256, strnlen(record.dataSha256, 64)));
    if (record.durationUs >= 0)
        out.Number("duration_us", record.durationUs);
    if (!record.error.empty())
        out.String("error", record.error);
    return out.Close();
}

void CTranscriptLines::Write(const TranscriptRecord& record)
{
    char line[kTranscriptLineMax];
    const std::size_t length = FormatTranscriptLine(record, line);
    std::lock_guard lock(m_mutex);
    m_out.write(line, static_cast<std::streamsize>(length)).put('\n');
    m_out.flush();
}
