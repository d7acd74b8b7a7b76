#pragma once
#include <atomic>
#include <memory>

// Turns Ctrl-C (and SIGTERM, SIGHUP) into a flag that the forms read
// between timer ticks, instead of ending the process wherever it stands.
// Create it before any other thread starts: on POSIX it blocks the signals
// in every thread and takes them in a watcher thread of its own, so no
// SG_IO call is ever cut short by a signal.
class CInterruptWatch {
public:
    CInterruptWatch();
    ~CInterruptWatch();
    CInterruptWatch(const CInterruptWatch&) = delete;
    CInterruptWatch& operator=(const CInterruptWatch&) = delete;

    const std::atomic<bool>& Flag() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

// True when the stream is a terminal that understands the cursor controls
// of the live progress lines.
bool StderrIsLiveTerminal();
