#pragma once
#include <atomic>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "base/clock.h"
#include "device/host.h"
#include "device/sleep_inhibitor.h"
#include "run/interrupt_flag.h"

class COutputQueue;

// Everything kt3916flash-cli takes from its surroundings, so the whole tool
// runs in-process under a test: streams, the clock the forms and the
// emulated devices read, and the interrupt flag.
struct CliEnvironment {
    std::ostream* pOut = nullptr;
    std::ostream* pErr = nullptr;
    // The process's own standard output and error, written by descriptor
    // (pOut and pErr are not used then).
    bool bStandardStreams = false;
    // Set by RunCli for the run: the queues pOut and pErr go through, so
    // that no thread that talks to a device waits on a reader.
    COutputQueue* pOutQueue = nullptr;
    COutputQueue* pErrQueue = nullptr;
    bool bToldWaitingForReader = false;  // said once a run
    bool bErrIsTerminal = false;         // live progress lines instead of plain ones
    // The terminal's width now, asked at every redraw; empty: 80 columns.
    std::function<size_t()> terminalColumns;
    IClock* pClock = nullptr;  // null: the system clock
    // Replaces the platform host and the emulated one (tests inject faults).
    IScsiHost* pHost = nullptr;
    // Raised when Ctrl-C arrives. list and flash call armInterrupt before
    // their first device command and before any thread starts, so the caller
    // can start watching for it there.
    CInterruptFlag* pInterrupt = nullptr;
    std::function<void()> armInterrupt;
    // Makes what keeps the machine awake during one form's transfer, asked
    // for on that form's thread; empty: the machine's sleep is left alone.
    std::function<std::unique_ptr<ISleepInhibitor>()> makeSleepInhibitor;

    // Ctrl-C (or another stopping signal) has arrived.
    bool Interrupted() const { return pInterrupt && pInterrupt->IsRaised(); }
};

constexpr char kCliProgramName[] = "kt3916flash-cli";

// Prints "kt3916flash-cli: text" on stderr.
void PrintError(CliEnvironment& env, const std::string& text);
