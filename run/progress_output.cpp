#include "run/progress_output.h"

#include <algorithm>

#include "base/json_line.h"
#include "device/drive_name.h"
#include "form/flash_view.h"
#include "run/run_environment.h"
#include "run/run_options.h"

namespace {

constexpr size_t kVendorLength = 8;
constexpr size_t kProductLength = 16;
constexpr size_t kShortestIdentity = 8;  // below this the identity says nothing

std::string Bar(uint32_t done, uint32_t total)
{
    int filled = total ? static_cast<int>(static_cast<uint64_t>(done) * kProgressBarWidth / total) : 0;
    filled = std::clamp(filled, 0, kProgressBarWidth);
    return "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(kProgressBarWidth - filled), '.') + "]";
}

// Padding folded to single blanks; control bytes made visible.
std::string Folded(std::string text)
{
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20)
            c = '?';
    }
    return FoldedBlanks(text);
}

// What the line says about the phase; the bar only when withBar.
std::string PhaseText(const ProgressLine& line, bool withBar)
{
    auto bar = [&](uint32_t done, uint32_t total) { return withBar ? " " + Bar(done, total) : std::string(); };
    std::string text;
    switch (line.phase) {
    case ProgressLine::Phase::Waiting:
        text += " starting";
        break;
    case ProgressLine::Phase::Sending:
        text += bar(line.nBlocksSent, line.nBlocks) + " block " + std::to_string(line.nBlocksSent) + "/" +
                std::to_string(line.nBlocks);
        if (line.bHeld)
            text += "  Ctrl-C held";
        break;
    case ProgressLine::Phase::Verifying:
        text += bar(static_cast<uint32_t>(line.nTick), static_cast<uint32_t>(line.window.nLastTick));
        if (line.nTick < line.window.nFirstInquiryTick) {
            // Seconds until the first INQUIRY.
            text += " restarting, " + std::to_string(line.window.nFirstInquiryTick - line.nTick) + " s";
        } else {
            text += " asking " + std::to_string(line.nTick) + "/" + std::to_string(line.window.nLastTick);
        }
        break;
    case ProgressLine::Phase::Done:
        if (line.bSuccess) {
            text += bar(1, 1);
        } else if (line.nBlocks) {
            text += bar(line.nBlocksSent, line.nBlocks);
        }
        text += " " + (line.strMessage.empty() ? std::string("stopped") : line.strMessage);
        if (!line.strRevisions.empty())
            text += ", rev " + line.strRevisions;
        break;
    }
    return text;
}

}  // namespace

std::string IdentityText(const std::string& identity)
{
    const std::string vendor = Folded(identity.substr(0, std::min(identity.size(), kVendorLength)));
    const std::string product =
        identity.size() > kVendorLength ? Folded(identity.substr(kVendorLength, kProductLength)) : std::string();
    if (vendor.empty() || product.empty())
        return vendor + product;
    return vendor + " " + product;
}

std::string FormatProgressLine(const ProgressLine& line, size_t width)
{
    const std::string drive = DriveText(line.chDrive);
    const std::string fullIdentity = IdentityText(line.strIdentity);
    for (bool withBar : {true, false}) {
        const std::string phase = PhaseText(line, withBar);
        std::string identity = fullIdentity;
        // " identity " between the drive and the phase.
        const size_t fixed = drive.size() + phase.size();
        if (!identity.empty() && fixed + 2 + identity.size() > width) {
            identity = fixed + 2 + kShortestIdentity <= width
                           ? WithoutTrailingBlanks(identity.substr(0, width - fixed - 2))
                           : std::string();
        }
        std::string text = drive + (identity.empty() ? std::string() : " " + identity + " ") + phase;
        if (text.size() <= width)
            return text;
        if (!withBar)
            return text.substr(0, width);
    }
    return drive.substr(0, width);
}

CProgressOutput::CProgressOutput(std::ostream& err, COutputQueue* live, std::function<size_t()> columns)
    : m_err(err), m_pLive(live), m_columns(std::move(columns))
{
    // The writer's thread asks for the text that brings the screen to the
    // lines' state.
    if (m_pLive) {
        m_pLive->SetLive([this]() {
            std::lock_guard<std::mutex> lock(m_mutex);
            return RenderLocked();
        });
    }
}

CProgressOutput::~CProgressOutput()
{
    if (m_pLive)
        m_pLive->SetLive(nullptr);
}

std::string CProgressOutput::RenderLocked()
{
    if (m_bFinished)
        return {};
    std::string text;
    if (m_nDrawnLines)
        text += "\x1b[" + std::to_string(m_nDrawnLines) + "A\r";
    size_t columns = m_columns ? m_columns() : kDefaultTerminalColumns;
    if (columns < 2)
        columns = kDefaultTerminalColumns;
    // One column short of the edge: a line that fills the last column leaves
    // some terminals about to wrap, and the next cursor move goes astray.
    const size_t width = columns - 1;
    // Lines printed above, a resize or a new line: everything below the
    // first line goes, and is drawn again. Otherwise each line is written
    // over itself, so nothing flickers.
    if (!m_above.empty() || width != m_nDrawnWidth || m_nDrawnLines != m_lines.size())
        text += "\x1b[J";
    for (const std::string& line : m_above)
        text += line + '\n';
    m_above.clear();
    for (const ProgressLine& line : m_lines)
        text += FormatProgressLine(line, width) + "\x1b[K\n";
    m_nDrawnWidth = width;
    m_nDrawnLines = m_lines.size();
    return text;
}

void CProgressOutput::Begin(const std::vector<char>& drives)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (char drive : drives)
        LineFor(drive);
    if (m_pLive)
        m_pLive->Refresh();
}

size_t CProgressOutput::LineFor(char drive)
{
    for (size_t i = 0; i < m_lines.size(); ++i) {
        if (m_lines[i].chDrive == drive)
            return i;
    }
    ProgressLine line;
    line.chDrive = drive;
    m_lines.push_back(line);
    return m_lines.size() - 1;
}

void CProgressOutput::OnFlashEvent(const FlashEvent& event, const FlashRecord& r, uint64_t)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ProgressLine& line = m_lines[LineFor(r.chDrive)];
    const std::string label = DriveText(r.chDrive);
    std::string plain;

    switch (event.kind) {
    case FlashEventKind::Start:
        line.phase = ProgressLine::Phase::Sending;
        line.strIdentity = r.strIdentity;
        line.nBlocks = r.nBlocks;
        plain = label + " " + IdentityText(line.strIdentity) + " rev " + r.strRevision + ": sending " + r.strImage +
                " (checksum " + r.strChecksum + ")";
        break;
    case FlashEventKind::Block:
        line.phase = ProgressLine::Phase::Sending;
        line.nBlocksSent = static_cast<uint32_t>(event.nIndex);
        line.nBlocks = static_cast<uint32_t>(event.nTotal);
        plain = label + " block " + std::to_string(event.nIndex) + "/" + std::to_string(event.nTotal) + " sent";
        break;
    case FlashEventKind::Tick:
        line.phase = ProgressLine::Phase::Verifying;
        line.nTick = event.nIndex;
        line.window = {event.nFirstInquiryTick, event.nTotal};
        plain = label + " verify tick " + std::to_string(event.nIndex) + "/" + std::to_string(event.nTotal);
        if (event.bInquiry)
            plain += event.bAnswered ? ": the device answered" : ": no answer yet";
        break;
    case FlashEventKind::Message:
        line.strMessage = event.strText;
        plain = label + " " + event.strText;
        // A message box is read whole, whatever the terminal's width.
        if (m_pLive)
            m_above.push_back(plain);
        break;
    case FlashEventKind::InterruptHeld:
        line.bHeld = true;
        plain = label + " " + event.strText;
        // Said at once, above the lines, so it is seen while the transfer runs on.
        if (m_pLive)
            m_above.push_back(plain);
        break;
    case FlashEventKind::Result:
        line.phase = ProgressLine::Phase::Done;
        line.bSuccess = r.exit == kExitSuccess;
        if (r.bInterrupted || !r.strCheckFailure.empty())
            line.strMessage = r.ResultText();
        plain = label + " result: " + CliExitName(r.exit) + " (exit " + std::to_string(static_cast<int>(r.exit)) + ")";
        if (!r.strNewRevision.empty()) {
            plain += ", revision " + r.RevisionText();
            if (line.bSuccess)
                line.strRevisions = r.RevisionText();
        }
        break;
    default:  // the form's own: no line
        return;
    }
    if (m_pLive) {
        m_pLive->Refresh();
    } else {
        m_err << plain << '\n';
        m_err.flush();
    }
}

void CProgressOutput::Finish()
{
    if (!m_pLive)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pLive->Post(RenderLocked());
    m_bFinished = true;
}

void CJsonOutput::WriteLine(const std::string& object)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_out << object << '\n';
    m_out.flush();
}

void CJsonOutput::OnFlashEvent(const FlashEvent& event, const FlashRecord& record, uint64_t tMs)
{
    WriteLine(FlashEventJson(event, record, tMs));
}

std::string FlashEventJson(const FlashEvent& event, const FlashRecord& record, uint64_t tMs)
{
    const char* kinds[] = {"start", "block", "tick", "message", "interrupt", "result", "download_mode", "finished"};
    std::string json;
    CJsonLine out(json);
    out.String("event", kinds[static_cast<int>(event.kind)])
        .Number("t_ms", tMs)
        .String("device", DriveText(record.chDrive));
    switch (event.kind) {
    case FlashEventKind::Start:
        out.String("node", record.strNode).Bool("emulated", record.bEmulated).String("identity", record.strIdentity);
        out.String("revision", record.strRevision)
            .String("image", record.strImage)
            .String("checksum", record.strChecksum);
        out.Number("blocks", record.nBlocks);
        if (!record.strUnit.empty())
            out.String("unit", record.strUnit);
        break;
    case FlashEventKind::Block:
        out.Number("block", event.nIndex).Number("blocks", event.nTotal);
        break;
    case FlashEventKind::Tick:
        out.Number("tick", event.nIndex).Number("ticks", event.nTotal);
        out.Bool("inquiry", event.bInquiry).Bool("answered", event.bAnswered);
        break;
    case FlashEventKind::Message:
    case FlashEventKind::InterruptHeld:
        out.String("text", event.strText);
        break;
    case FlashEventKind::Result: {
        out.String("node", record.strNode)
            .String("result", CliExitName(record.exit))
            .Number("exit_code", static_cast<int>(record.exit));
        out.String("message", record.messages.empty() ? std::string() : record.messages.back());
        out.String("revision", record.strRevision).String("new_revision", record.strNewRevision);
        out.Number("blocks_sent", record.nBlocksSent).Number("blocks", record.nBlocks).Number("ticks", record.nTicks);
        out.Array("notes");
        for (const std::string& note : record.notes)
            out.Element(note);
        out.End();
        if (!record.strSense.empty())
            out.String("sense", record.strSense).String("sense_text", record.strSenseText);
        if (!record.strHostError.empty())
            out.String("host_error", record.strHostError);
        break;
    }
    default:
        break;
    }
    out.Close();
    return json;
}

int EarlyEnd(const CliOptions& options, CliEnvironment& env, CliExit exit, const std::string& error, FlashRecord record)
{
    if (options.bJson) {
        record.strImage = options.strImage;
        record.exit = exit;
        record.messages.push_back(error);
        *env.pOut << FlashEventJson({.kind = FlashEventKind::Result}, record, 0) << '\n';
    }
    return exit;
}
