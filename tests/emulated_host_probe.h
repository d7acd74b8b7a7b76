#pragma once
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "device/emulated/emulated_host.h"
#include "tests/emulated_support.h"

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
    bool IsOpen(HostHandle device) const
    {
        std::lock_guard lock(m_host.m_mutex);
        return m_host.m_openDevices.count(device) != 0;
    }
    bool IsOpenEvent(HostHandle event) const
    {
        return Aspi([event](const CEmulatedAspi& a) { return static_cast<int>(a.m_events.count(event)); }) != 0;
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

// An emulated bench that keeps what it recorded, and counts the closes of
// what was not open (device handles and completion events) and the loads and
// frees of its ASPI library.
class RecordedHost final : private RecordListHolder, public EmulatedHost, private IAspiHost {
public:
    RecordedHost(const EmulatorScenario& scenario, IClock& clock, ITranscriptSink* transcript = nullptr)
        : RecordListHolder{CRecordList(transcript)}, EmulatedHost(scenario, clock, &recordList)
    {
    }
    std::vector<TranscriptRecord> Records() const { return recordList.Records(); }
    int BadCloseCount() const { return m_nBadCloses; }
    int AspiLoadCount() const { return m_nLoads; }
    int AspiFreeCount() const { return m_nFrees; }

    void CloseDevice(HostHandle device) override
    {
        if (!Inspect(*this).IsOpen(device))
            ++m_nBadCloses;
        EmulatedHost::CloseDevice(device);
    }
    IAspiHost* Aspi() override { return this; }

private:
    IAspiHost& Inner() { return *EmulatedHost::Aspi(); }
    HostHandle LoadAspiLibrary(const char* name) override
    {
        const HostHandle library = Inner().LoadAspiLibrary(name);
        if (library != 0) {
            ++m_nLoads;
            m_library = library;
        }
        return library;
    }
    AspiEntryPoint FindAspiEntryPoint(HostHandle library, const char* name) override
    {
        return Inner().FindAspiEntryPoint(library, name);
    }
    void FreeAspiLibrary(HostHandle library) override
    {
        if (library != 0 && library == m_library)
            ++m_nFrees;
        Inner().FreeAspiLibrary(library);
    }
    uint32_t CallGetASPI32SupportInfo(AspiEntryPoint entry) override { return Inner().CallGetASPI32SupportInfo(entry); }
    uint32_t CallSendASPI32Command(AspiEntryPoint entry, void* srb) override
    {
        return Inner().CallSendASPI32Command(entry, srb);
    }
    HostHandle CreateCompletionEvent() override { return Inner().CreateCompletionEvent(); }
    bool WaitCompletionEvent(HostHandle event, uint32_t milliseconds) override
    {
        return Inner().WaitCompletionEvent(event, milliseconds);
    }
    void CloseCompletionEvent(HostHandle event) override
    {
        if (!Inspect(*this).IsOpenEvent(event))
            ++m_nBadCloses;
        Inner().CloseCompletionEvent(event);
    }

    std::atomic<int> m_nBadCloses{0};
    std::atomic<int> m_nLoads{0};
    std::atomic<int> m_nFrees{0};
    std::atomic<HostHandle> m_library{0};
};
