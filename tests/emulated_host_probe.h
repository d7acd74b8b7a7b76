#pragma once
#include <string>
#include <vector>

#include "device/emulated/emulated_host.h"

// What tests read of an emulated bench beyond the host interface: what it
// recorded, what is still open, and its units.
class EmulatedHostProbe {
public:
    explicit EmulatedHostProbe(const EmulatedHost& host) : m_host(host) {}

    std::vector<TranscriptRecord> Records() const
    {
        std::lock_guard lock(m_host.m_transcriptMutex);
        return m_host.m_records;
    }
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
    EmulatedKt3916& Device(int index) const { return *m_host.m_devices.at(static_cast<std::size_t>(index))->model; }
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
