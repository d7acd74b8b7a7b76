#pragma once
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "cli/flash_events.h"

// What one device's progress line shows.
struct ProgressLine {
    enum class Phase { Waiting, Sending, Verifying, Done };
    char chDrive = 0;
    std::string strIdentity;
    Phase phase = Phase::Waiting;
    uint32_t nBlocksSent = 0;
    uint32_t nBlocks = 0;
    int nTick = 0;
    bool bHeld = false;
    bool bSuccess = false;
    std::string strMessage;  // the last message box
};

constexpr size_t kProgressLineWidth = 79;  // stays on one line of an 80-column terminal
constexpr int kProgressBarWidth = 24;

std::string FormatProgressLine(const ProgressLine& line);

// Human progress on stderr. Live: one line per device, redrawn in place
// (blocks, then the verification countdown). Plain, for logs and pipes: one
// line per event.
class CProgressOutput final : public IFlashObserver {
public:
    CProgressOutput(std::ostream& err, bool live);

    // The devices, in the order their lines stand; before the first event.
    void Begin(const std::vector<char>& drives);
    void OnFlashEvent(const FlashEvent& event) override;
    // Leaves the cursor below the lines.
    void Finish();

private:
    void Redraw(size_t index);
    size_t LineFor(char drive);

    std::mutex m_mutex;
    std::ostream& m_err;
    bool m_bLive;
    bool m_bBegun = false;
    std::vector<ProgressLine> m_lines;
};

// JSON-lines events on stdout for automation.
class CJsonOutput final : public IFlashObserver {
public:
    explicit CJsonOutput(std::ostream& out) : m_out(out) {}
    void OnFlashEvent(const FlashEvent& event) override;
    // Writes one finished line (a JSON object without the newline).
    void WriteLine(const std::string& object);

private:
    std::mutex m_mutex;
    std::ostream& m_out;
};

std::string FlashEventJson(const FlashEvent& event);
