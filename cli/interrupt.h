#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "run/interrupt_flag.h"

// Turns Ctrl-C (and SIGTERM, SIGHUP, SIGQUIT) into a raise of the flag
// instead of ending the process wherever it stands. A signal the process was
// started with ignored (SIGHUP under nohup, SIGINT for a background job of a
// script) stays ignored. Create it before any other thread
// starts: on POSIX it blocks the signals in every thread and takes them in a
// watcher thread of its own, so no command's write or read on the sg
// driver is ever cut short by a signal.
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
