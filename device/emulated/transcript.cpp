#include "device/emulated/transcript.h"

#include <cinttypes>
#include <cstdio>

std::size_t FormatTranscriptLine(const TranscriptRecord& record, char (&line)[kTranscriptLineMax])
{
    const uint8_t* c = record.cdb;
    int n = std::snprintf(line, sizeof line,
                          "{\"t_ms\":%" PRIu64 ",\"drive\":\"%c\",\"cdb\":\""
                          "%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x"
                          "\",\"dir\":\"%s\",\"len\":%" PRIu32 ",\"result\":\"%.*s\",\"sense\":\"%02x%02x%02x\"",
                          record.tMs, record.drive, c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9],
                          c[10], c[11], record.dataIn ? "in" : "out", record.length,
                          static_cast<int>(record.result.size()), record.result.data(), record.sense[0],
                          record.sense[1], record.sense[2]);
    if (!record.dataIn)
        n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), ",\"data_sha256\":\"%.64s\"",
                           record.dataSha256);
    n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), "}");
    return static_cast<std::size_t>(n);
}
