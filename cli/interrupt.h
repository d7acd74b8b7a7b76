#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

// Ctrl-C as the tool sees it: a flag the forms read between timer ticks,
// and listeners that hear of it at once, on the thread that raised it, while
// a form may still be waiting for a long device command.
class CInterruptFlag {
public:
    bool IsRaised() const { return m_bRaised.load(); }
    // How often it was raised: a wait that began after the first one can
    // still be ended by the next.
    uint64_t RaiseCount() const { return m_nRaises.load(); }
    void Raise();

    // The listener runs on the raising thread, never after RemoveListener
    // has returned; one raised before it was added is not replayed.
    int AddListener(std::function<void()> listener);
    void RemoveListener(int id);

private:
    std::atomic<bool> m_bRaised{false};
    std::atomic<uint64_t> m_nRaises{0};
    std::mutex m_mutex;
    std::map<int, std::function<void()>> m_listeners;
    int m_nNextId = 1;
};

// Turns Ctrl-C (and SIGTERM, SIGHUP, SIGQUIT) into a raise of the flag
// instead of ending the process wherever it stands. A signal the process was
// started with ignored (SIGHUP under nohup, SIGINT for a background job of a
// script) stays ignored. Create it before any other thread
// starts: on POSIX it blocks the signals in every thread and takes them in a
// watcher thread of its own, so no SG_IO call is ever cut short by a signal.
class CInterruptWatch {
public:
    explicit CInterruptWatch(CInterruptFlag& flag);
    ~CInterruptWatch();
    CInterruptWatch(const CInterruptWatch&) = delete;
    CInterruptWatch& operator=(const CInterruptWatch&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

// True when the stream is a terminal that understands the cursor controls
// of the live progress lines.
bool StderrIsLiveTerminal();
// The width of that terminal in columns; 0 when it cannot be told.
size_t StderrColumns();
