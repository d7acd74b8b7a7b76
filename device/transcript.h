#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string_view>

// One command as an emulated device received it: the record behind each
// transcript line. Fixed-size, so a server can fill and write one per command
// without touching the heap.
//
// The recording layer (device/recording_host.h) writes the same line for the
// commands it sees on any host, with what only it knows added: the wall
// clock, the node, the SCSI status, the sense in words, the command's
// duration and why a call failed. A field it leaves empty is not written, so
// the emulated devices' transcript stays exactly as it was.
struct TranscriptRecord {
    uint64_t tMs = 0;
    char drive = 'D';  // 0: not known (written "-")
    uint8_t cdb[12] = {};
    bool dataIn = true;
    uint32_t length = 0;
    std::string_view result;  // "good", "check", "status" or "fail"
    uint8_t sense[3] = {};
    char dataSha256[65] = {};  // out commands only; empty: not written

    std::string_view time;     // wall clock, "2025-01-31T12:34:56.789Z"
    std::string_view run;      // the run that sent it, in a log several runs share
    std::string_view node;     // where the drive lives: /dev/sg1, \\.\D:, ...
    int scsiStatus = -1;       // written for result "status" only
    bool bSenseWords = false;  // the sense in words, when there is any
    int64_t durationUs = -1;   // negative: not written
    std::string_view error;    // why the call itself failed
};

constexpr std::size_t kTranscriptLineMax = 640;

// The JSON line of a record, without the newline; returns its length. A line
// that would not fit is cut short at a field boundary, still one object.
std::size_t FormatTranscriptLine(const TranscriptRecord& record, char (&line)[kTranscriptLineMax]);

// Where an emulated unit's records go as it runs its commands; one device's
// records come in the order it ran them, several devices' from their threads.
class ITranscriptSink {
public:
    virtual void Write(const TranscriptRecord& record) = 0;

protected:
    ~ITranscriptSink() = default;
};

// Writes each record as its line to a stream, whole and flushed.
class CTranscriptLines final : public ITranscriptSink {
public:
    explicit CTranscriptLines(std::ostream& out) : m_out(out) {}
    void Write(const TranscriptRecord& record) override;

private:
    std::mutex m_mutex;
    std::ostream& m_out;
};
