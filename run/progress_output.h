#pragma once
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "base/output_queue.h"
#include "form/flash_view.h"
#include "run/flash_events.h"

// What one device's progress line shows.
struct ProgressLine {
    enum class Phase {
        Waiting,
        Sending,
        Verifying,
        Done
    };
    char chDrive = 0;
    std::string strIdentity;
    Phase phase = Phase::Waiting;
    uint32_t nBlocksSent = 0;
    uint32_t nBlocks = 0;
    int nTick = 0;
    bool bHeld = false;
    bool bSuccess = false;
    std::string strMessage;    // the last message box
    std::string strRevisions;  // "1.00 -> 1.10" once the device answered again
    VerifyWindow window;       // of the verification ticks
};

constexpr size_t kDefaultTerminalColumns = 80;  // when the terminal does not say
constexpr int kProgressBarWidth = 24;

// One live line in at most width columns: the identity is shortened first,
// then the bar is left out, so the drive and what it is doing stay.
std::string FormatProgressLine(const ProgressLine& line, size_t width);

// Vendor (INQUIRY bytes 8..15) and product (16..31) with their padding
// folded and one blank between them, as a person reads them.
std::string IdentityText(const std::string& identity);

// Human progress on stderr. Live: one line per device, redrawn in place
// (blocks, then the verification countdown) by the output's own writer
// whenever it is free, so a terminal that stops reading (Ctrl-S) gets the
// latest state when it reads again, never every state in between. Plain,
// for logs and pipes: one line per event.
class CProgressOutput final : public IFlashObserver {
public:
    // live: stderr's queue, for lines redrawn in place; null for plain
    // lines on err. columns: the terminal's width now, asked before every
    // drawing so the lines follow a resize; empty for kDefaultTerminalColumns.
    CProgressOutput(std::ostream& err, COutputQueue* live, std::function<size_t()> columns = {});
    ~CProgressOutput() override;

    // The devices, in the order their lines stand; before the first event.
    void Begin(const std::vector<char>& drives);
    void OnFlashEvent(const FlashEvent& event, const FlashRecord& record, uint64_t tMs) override;
    // The lines' last state goes out before anything written after this,
    // and the cursor stays below them.
    void Finish();

private:
    // The text that brings the screen to the lines' state: on the writer's
    // thread, or at the finish; m_mutex held.
    std::string RenderLocked();
    size_t LineFor(char drive);

    std::mutex m_mutex;
    std::ostream& m_err;
    COutputQueue* m_pLive;
    std::function<size_t()> m_columns;
    bool m_bFinished = false;
    size_t m_nDrawnWidth = 0;  // the width the lines on screen were drawn for
    size_t m_nDrawnLines = 0;  // how many of them stand above the cursor
    std::vector<ProgressLine> m_lines;
    std::vector<std::string> m_above;  // whole lines to print above them
};

// JSON-lines events on stdout for automation.
class CJsonOutput final : public IFlashObserver {
public:
    explicit CJsonOutput(std::ostream& out) : m_out(out) {}
    void OnFlashEvent(const FlashEvent& event, const FlashRecord& record, uint64_t tMs) override;
    // Writes one finished line (a JSON object without the newline).
    void WriteLine(const std::string& object);

private:
    std::mutex m_mutex;
    std::ostream& m_out;
};

std::string FlashEventJson(const FlashEvent& event, const FlashRecord& record, uint64_t tMs);

struct CliEnvironment;
struct CliOptions;

// --json runs of flash and station end with a result event even when no form
// ran; record holds what is known of the device. Returns exit.
int EarlyEnd(const CliOptions& options, CliEnvironment& env, CliExit exit, const std::string& error,
             FlashRecord record = {});
