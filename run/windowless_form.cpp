#include "run/windowless_form.h"

#include <algorithm>

#include "form/flash_view.h"
#include "run/identity_guard.h"

CWindowlessForm::CWindowlessForm(IClock& clock, FlashRecord& record, IFlashObserver* observer,
                                 CInterruptFlag* interrupt, TransferHooks hooks)
    : m_clock(clock), m_record(record), m_pObserver(observer), m_pInterrupt(interrupt), m_hooks(std::move(hooks)),
      m_startMs(clock.NowMs())
{
    // A Ctrl-C that comes while a block command runs is announced at once,
    // not when the command returns, which may take seconds.
    if (m_pInterrupt) {
        m_nListener = m_pInterrupt->AddListener([this]() {
            if (m_bInTransfer)
                AnnounceHeld();
        });
    }
}

CWindowlessForm::~CWindowlessForm()
{
    if (m_pInterrupt)
        m_pInterrupt->RemoveListener(m_nListener);
}

void CWindowlessForm::AnnounceHeld()
{
    if (m_bHeldAnnounced.exchange(true))
        return;
    Emit({.kind = FlashEventKind::InterruptHeld,
          .strText = "interrupt received while sending the image: it is held until the transfer ends, "
                     "because a half-sent image leaves the device without firmware"});
}

void CWindowlessForm::InsertDeviceItem(int index, const std::string& text)
{
    // CB_INSERTSTRING: -1 appends, a position past the end is refused.
    if (index < 0) {
        m_deviceItems.push_back(text);
    } else if (static_cast<size_t>(index) <= m_deviceItems.size()) {
        m_deviceItems.insert(m_deviceItems.begin() + index, text);
    }
}

void CWindowlessForm::SetDeviceSelection(int index)
{
    m_nSelection = index >= 0 && static_cast<size_t>(index) < m_deviceItems.size() ? index : -1;
}

void CWindowlessForm::SetDeviceVersionText(const std::string& text)
{
    m_record.strRevision = WithoutTrailingBlanks(text);
}

void CWindowlessForm::SetTimer(unsigned id, unsigned periodMs)
{
    m_timers[id] = Timer{periodMs, m_clock.NowMs() + periodMs};
}

void CWindowlessForm::KillTimer(unsigned id)
{
    m_timers.erase(id);
}

void CWindowlessForm::MessageBox(const std::string& text)
{
    m_record.messages.push_back(text);
    Emit({.kind = FlashEventKind::Message, .strText = text});
}

void CWindowlessForm::OnFlashEvent(const FlashEvent& event)
{
    switch (event.kind) {
    case FlashEventKind::Start:
        m_record.nBlocks = static_cast<uint32_t>(event.nTotal);
        if (m_nSelection >= 0)
            m_record.strIdentity = m_deviceItems[static_cast<size_t>(m_nSelection)];
        if (m_hooks.onStart)
            m_record.strUnit = m_hooks.onStart(m_record);
        break;
    case FlashEventKind::DownloadMode:
        m_record.bDownloadModeSent = true;
        return;
    case FlashEventKind::Block:
        ++m_record.nBlockWrites;
        if (!event.bAnswered)
            return;
        m_record.nBlocksSent = static_cast<uint32_t>(event.nIndex);
        Emit(event);
        if (event.nIndex == event.nTotal && m_hooks.afterFinalBlock)
            m_hooks.afterFinalBlock();
        if (Interrupted())
            AnnounceHeld();
        return;
    case FlashEventKind::Tick:
        m_record.nTicks = event.nIndex;
        break;
    case FlashEventKind::Finished:
        m_record.outcome = event.outcome;
        m_record.strNewRevision = WithoutTrailingBlanks(event.strText);
        return;
    default:
        break;
    }
    Emit(event);
}

void CWindowlessForm::Emit(const FlashEvent& event)
{
    if (m_pObserver)
        m_pObserver->OnFlashEvent(event, m_record, m_clock.NowMs() - m_startMs);
}

CWindowlessForm::RunEnd CWindowlessForm::Run(CFlashView& view)
{
    for (;;) {
        if (m_timers.empty())
            return RunEnd::Idle;
        if (Interrupted())
            return RunEnd::Interrupted;

        auto next = std::min_element(m_timers.begin(), m_timers.end(),
                                     [](const auto& a, const auto& b) { return a.second.dueMs < b.second.dueMs; });
        const uint64_t now = m_clock.NowMs();
        if (now < next->second.dueMs) {
            m_clock.SleepMs(static_cast<uint32_t>(std::min<uint64_t>(next->second.dueMs - now, kWaitSliceMs)));
            continue;
        }
        // Like WM_TIMER: the ticks keep the timer's own rhythm, however
        // late this one is handled (a late wake-up must not push every later
        // tick back), and ticks that fell due while a handler ran are not
        // queued: the next one is the first still to come.
        const unsigned id = next->first;
        Timer& timer = next->second;
        const uint64_t period = std::max(timer.periodMs, 1u);
        timer.dueMs += (now - timer.dueMs) / period * period + period;

        if (id == IDT_START_DOWNLOAD) {
            m_bInTransfer = true;
            view.OnTimer(id);
            m_bInTransfer = false;
            m_record.bInterruptHeld = m_bHeldAnnounced.load();
        } else {
            view.OnTimer(id);
        }
    }
}
