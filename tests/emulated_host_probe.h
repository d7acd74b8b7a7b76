#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "device/emulated/emulated_host.h"
#include "tests/emulator_support.h"

// What tests read of an emulated bench beyond the host interface: what is
// still open, and its units.
class EmulatedHostProbe {
public:
    explicit EmulatedHostProbe(const EmulatedHost& host) : m_host(host) {}

    int OpenHandleCount() const  // device handles not yet closed
    {
        std::lock_guard lock(m_host.m_mutex);
        return static_cast<int>(m_host.m_openDevices.size());
    }
    int BadCloseCount() const  // CloseDevice or CloseCompletionEvent on what was not open
    {
        std::lock_guard lock(m_host.m_mutex);
        return m_host.m_nBadCloses;
    }
    Kt3916Probe Device(int index) const { return Probe(*m_host.m_devices.at(static_cast<std::size_t>(index))->model); }
    int OpenEventCount() const
    {
        return Aspi([](const CEmulatedAspi& a) { return static_cast<int>(a.m_events.size()); });
    }
    int PendingAspiCount() const
    {
        return Aspi([](const CEmulatedAspi& a) { return static_cast<int>(a.m_pending.size()); });
    }
    int AspiLoadCount() const
    {
        return Aspi([](const CEmulatedAspi& a) { return a.m_nLoads; });
    }
    int AspiFreeCount() const
    {
        return Aspi([](const CEmulatedAspi& a) { return a.m_nFrees; });
    }

private:
    template <typename Read>
    int Aspi(Read read) const
    {
        std::lock_guard lock(m_host.m_aspi.m_mutex);
        return read(m_host.m_aspi);
    }

    const EmulatedHost& m_host;
};

// Short for the many places that read a bench.
inline EmulatedHostProbe Inspect(const EmulatedHost& host)
{
    return EmulatedHostProbe(host);
}

// One transcript line (without the newline), exactly as a bench writes it.
inline std::string TranscriptLineText(const TranscriptRecord& record)
{
    char line[kTranscriptLineMax];
    return std::string(line, FormatTranscriptLine(record, line));
}

// Keeps every record a bench writes, for the test to read, and hands each on
// to the next sink when there is one (the program's transcript lines).
class CRecordList final : public ITranscriptSink {
public:
    explicit CRecordList(ITranscriptSink* next) : m_pNext(next) {}
    void Write(const TranscriptRecord& record) override
    {
        std::lock_guard lock(m_mutex);
        m_records.push_back(record);
        if (m_pNext != nullptr)
            m_pNext->Write(record);
    }
    std::vector<TranscriptRecord> Records() const
    {
        std::lock_guard lock(m_mutex);
        return m_records;
    }

private:
    mutable std::mutex m_mutex;
    ITranscriptSink* m_pNext;
    std::vector<TranscriptRecord> m_records;
};

// The list is built before the bench that writes to it.
struct RecordListHolder {
    CRecordList recordList;
};

// An emulated bench that keeps what it recorded.
class RecordedHost final : private RecordListHolder, public EmulatedHost {
public:
    RecordedHost(const EmulatorScenario& scenario, IClock& clock, ITranscriptSink* transcript = nullptr)
        : RecordListHolder{CRecordList(transcript)}, EmulatedHost(scenario, clock, &recordList)
    {
    }
    std::vector<TranscriptRecord> Records() const { return recordList.Records(); }
};
