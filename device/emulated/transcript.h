#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

// One command as an emulated device received it: the record behind each
// transcript line. Fixed-size, so a server can fill and write one per command
// without touching the heap.
struct TranscriptRecord {
    uint64_t tMs = 0;
    char drive = 'D';
    uint8_t cdb[12] = {};
    bool dataIn = true;
    uint32_t length = 0;
    std::string_view result;   // "good", "check" or "fail"
    uint8_t sense[3] = {};
    char dataSha256[65] = {};  // out commands only
};

constexpr std::size_t kTranscriptLineMax = 256;

// The JSON line of a record, without the newline; returns its length.
std::size_t FormatTranscriptLine(const TranscriptRecord& record, char (&line)[kTranscriptLineMax]);
