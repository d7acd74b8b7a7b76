#include "form/flash_view.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "base/input_file.h"
#include "device/command_set.h"
#include "form/block_plan.h"
#include "form/form_options.h"

thread_local std::string g_strImagePath;
thread_local std::string g_strDriveSpec;
thread_local int32_t g_bAutoFlash = 0;
thread_local std::string g_strOptionText;
thread_local int32_t g_nVerifyTicks = 0;

const char* FlashStateName(FlashState state)
{
    static constexpr const char* kNames[] = {"Ready", "Armed", "Sending", "Verifying", "Stopped"};
    const auto index = static_cast<size_t>(state);
    return index < std::size(kNames) ? kNames[index] : "?";
}

CFlashView::CFlashView(IFormWindow& window, IScsiHost& host, ISleepInhibitor* sleepInhibitor,
                       IFlashViewObserver* observer)
    : m_window(window), m_host(host), m_pSleepInhibitor(sleepInhibitor), m_pObserver(observer)
{
}

// A form that goes away in the middle of a download (its window closed, the
// tool interrupted) lets the machine sleep again.
CFlashView::~CFlashView()
{
    AllowSleep();
}

void CFlashView::OnInitialUpdate()
{
    m_bSurveyComplete = false;
    if (!SurveyDevices()) {
        ShowOutcome(FlashOutcome::NoDevice);
        return;
    }
    ShowRevision();

    m_window.SetFilePathText(g_strImagePath);
    if (g_strImagePath.empty()) {
        ShowOutcome(FlashOutcome::NoImageSet);
        return;
    }

    // A read error must not pass for a shorter image with another sum.
    ImageDigest digest;
    if (DigestImageFile(g_strImagePath, digest) != ImageSumResult::Ok) {
        ShowOutcome(FlashOutcome::ImageUnopenable);
        return;
    }
    TakeCheckedImage(m_heldImage.value_or(digest));

    m_window.SetStatusText("");
    m_bSurveyComplete = true;
    if (g_bAutoFlash)
        OnFlash();
}

// Creates the device object and fills the list; false when there is no device.
bool CFlashView::SurveyDevices()
{
    m_pDevice = std::make_unique<CFlashDevice>(m_host);

    if (!g_strDriveSpec.empty()) {
        const std::string drive = g_strDriveSpec.substr(0, 2);
        if (!m_pDevice->OpenDrive(drive.c_str()))
            return false;
        m_pDevice->Inquiry();
        m_window.InsertDeviceItem(0, InquiryIdentityText(m_pDevice->GetDataBuffer()));
        m_window.SetDeviceSelection(0);
        return true;
    }

    // The construction already discovered; this second discovery is the one
    // whose list counts.
    m_pDevice->EnumerateDevices();
    const int16_t count = m_pDevice->GetDeviceCount();
    if (count <= 0)
        return false;
    for (int16_t i = 0; i < count; ++i) {
        m_pDevice->SelectDevice(i);
        m_pDevice->Inquiry();
        m_window.InsertDeviceItem(i, InquiryIdentityText(m_pDevice->GetDataBuffer()));
    }
    m_window.SetDeviceSelection(0);
    // Leaves device 0's data in the buffer for the revision field.
    m_pDevice->SelectDevice(0);
    m_pDevice->Inquiry();
    return true;
}

// From here on a download sends this image and no other.
void CFlashView::TakeCheckedImage(const ImageDigest& digest)
{
    m_checkedImage = digest;

    g_strOptionText = ChecksumText(digest.nChecksum);
    m_window.SetChecksumText(g_strOptionText);
}

void CFlashView::ShowRevision()
{
    m_window.SetDeviceVersionText(InquiryRevisionText(m_pDevice->GetDataBuffer()));
}

void CFlashView::OnSelchangeDeviceList()
{
    if (!m_pDevice)
        return;
    // The device being flashed stays the target until its download ends.
    if (m_state == FlashState::Armed || m_state == FlashState::Sending || m_state == FlashState::Verifying) {
        m_window.SetDeviceSelection(m_nFlashDevice);
        return;
    }
    // -1 is passed on as it is: commands then fail until another entry is chosen.
    m_pDevice->SelectDevice(static_cast<int16_t>(m_window.GetDeviceSelection()));
    m_pDevice->Inquiry();
    ShowRevision();
}

void CFlashView::OnFlash()
{
    if (m_state != FlashState::Ready)
        return;
    if (g_strImagePath.empty()) {
        ShowOutcome(FlashOutcome::NoImageSet);
        return;
    }
    m_window.EnableFlashButton(false);
    // Until the download ends, its device is the one every command goes to.
    m_window.EnableDeviceList(false);
    m_nFlashDevice = m_pDevice ? m_pDevice->GetCurrentDevice() : 0;
    g_nVerifyTicks = 0;
    m_strAnsweredRevision.clear();
    m_window.ProgressSetPos(0);
    m_window.SetTimer(IDT_START_DOWNLOAD, kStartDownloadPeriodMs);
    m_state = FlashState::Armed;
}

void CFlashView::OnTimer(unsigned id)
{
    if (id == IDT_START_DOWNLOAD) {
        m_window.KillTimer(IDT_START_DOWNLOAD);
        DownloadImage();
    } else if (id == IDT_VERIFY) {
        OnVerifyTick();
    }
}

void CFlashView::OnVerifyTick()
{
    m_window.ProgressStepIt();
    ++g_nVerifyTicks;
    FlashEvent tick{.kind = FlashEventKind::Tick,
                    .nIndex = g_nVerifyTicks,
                    .nTotal = m_verifyWindow.nLastTick,
                    .nFirstInquiryTick = m_verifyWindow.nFirstInquiryTick};
    if (g_nVerifyTicks >= m_verifyWindow.nFirstInquiryTick && m_pDevice) {
        m_pDevice->SelectDevice(m_nFlashDevice);
        tick.bInquiry = true;
        tick.bAnswered = m_pDevice->Inquiry() == CommandResult::Good;
    }
    Tell(tick);
    if (tick.bAnswered) {
        m_strAnsweredRevision = InquiryRevisionText(m_pDevice->GetDataBuffer());
        m_window.KillTimer(IDT_VERIFY);
        // The wait is over; the box may stay open for as long as it likes.
        AllowSleep();
        m_window.ProgressSetPos(kVerifyRangeMax);
        ShowOutcome(FlashOutcome::Updated);
        m_window.EnableFlashButton(true);
        m_window.SetStatusText(kStatusFlashingOk);
        EndDownload(FlashState::Ready);
        return;
    }
    if (g_nVerifyTicks >= m_verifyWindow.nLastTick) {
        m_window.KillTimer(IDT_VERIFY);
        FailDownload(FlashOutcome::NoAnswer);
    }
}

void CFlashView::EndDownload(FlashState state)
{
    m_state = state;
    m_window.EnableDeviceList(true);
}

void CFlashView::AllowSleep()
{
    if (!m_bKeepingAwake)
        return;
    m_bKeepingAwake = false;
    m_pSleepInhibitor->AllowSleep();
}

void CFlashView::Tell(const FlashEvent& event)
{
    if (m_pObserver)
        m_pObserver->OnFlashEvent(event);
}

void CFlashView::ShowOutcome(FlashOutcome outcome)
{
    Tell({.kind = FlashEventKind::Finished, .outcome = outcome, .strText = m_strAnsweredRevision});
    m_window.MessageBox(FlashOutcomeText(outcome));
}

bool CFlashView::RefuseDownload(FlashOutcome outcome)
{
    ShowOutcome(outcome);
    m_window.EnableFlashButton(true);
    EndDownload(FlashState::Ready);
    return false;
}

bool CFlashView::FailDownload(FlashOutcome outcome)
{
    m_state = FlashState::Stopped;
    AllowSleep();
    ShowOutcome(outcome);
    EndDownload(FlashState::Stopped);
    return false;
}

bool CFlashView::DownloadImage()
{
    m_state = FlashState::Sending;
    CInputFile file;
    if (!file.Open(g_strImagePath))
        return FailDownload(FlashOutcome::ImageUnopenable);

    // Only the image whose checksum the operator was shown goes out: this one
    // open is read whole and compared with it before any command, then sent.
    ImageDigest current;
    std::vector<uint8_t> checkedBytes;
    if (!DigestImage(file, current, &checkedBytes) || !file.Seek(0))
        return FailDownload(FlashOutcome::ImageReadFailure);
    if (m_checkedImage != current) {
        const FlashOutcome outcome = m_checkedImage ? FlashOutcome::ImageChanged : FlashOutcome::ImageNotChecked;
        // A held image stays the only one this form will send.
        if (!m_heldImage)
            TakeCheckedImage(current);
        return RefuseDownload(outcome);
    }

    // Checked before any command: the eject that opens the transfer must not
    // go out for an image that will never follow it.
    const BlockPlan* plan = FindBlockPlan(current.nLength);
    if (plan == nullptr)
        return RefuseDownload(FlashOutcome::SizeInvalid);
    // Without a device object or its buffer no block can go out.
    if (!m_pDevice || m_pDevice->GetDataBuffer() == nullptr)
        return FailDownload(FlashOutcome::SendFailed);

    // From the eject that opens the transfer to the end of the verification
    // wait, a machine that goes to sleep leaves the device half-written or
    // unchecked. Asked before the range that starts the transfer: the session
    // manager's answer may take a while and is no part of sending.
    if (m_pSleepInhibitor != nullptr) {
        m_pSleepInhibitor->KeepAwake();
        m_bKeepingAwake = true;
    }
    m_window.ProgressSetRange(0, static_cast<uint16_t>(plan->blockCount - 1));
    const int blocks = static_cast<int>(plan->blockCount);
    Tell({.kind = FlashEventKind::Start, .nTotal = blocks});
    m_window.ProgressSetStep(1);
    if (m_pDevice->StartStopUnit(kEnterDownloadMode) != CommandResult::NotSent)
        Tell({.kind = FlashEventKind::DownloadMode});

    // Each block is read straight into the device's buffer; bytes beyond what
    // a read delivers keep what the previous block left there. A block goes
    // out only when the bytes read are the checked image's at that offset,
    // so a file changed since its check never reaches the device, and the
    // final block, which makes the device take the image, never follows one.
    for (uint32_t block = 0; block < plan->blockCount; ++block) {
        m_window.SetStatusText(kStatusSending);
        const bool bFinal = block + 1 == plan->blockCount;
        const uint32_t request = bFinal ? plan->finalRequest : kBlockLength;
        const uint32_t needed = bFinal ? plan->finalBytes : kBlockLength;
        uint8_t* buffer = m_pDevice->GetDataBuffer();
        const uint32_t got = file.Read(buffer, request);
        const std::size_t offset = std::size_t{block} * kBlockLength;
        if (got < needed || offset + got > checkedBytes.size() ||
            std::memcmp(buffer, checkedBytes.data() + offset, got) != 0)
            return FailDownload(FlashOutcome::ImageReadFailure);

        const CommandResult result = bFinal ? m_pDevice->WriteBlock(1, current.nChecksum, plan->finalMarker)
                                            : m_pDevice->WriteBlock(0, 0, block == 0 ? kMarkerStart : kMarkerContinue);
        const bool sent = result == CommandResult::Good;
        if (result != CommandResult::NotSent)
            Tell({.kind = FlashEventKind::Block,
                  .nIndex = static_cast<int>(block) + 1,
                  .nTotal = blocks,
                  .bAnswered = sent});
        if (!sent)
            return FailDownload(FlashOutcome::SendFailed);

        if (bFinal) {
            m_window.ProgressStepIt();
            m_window.SetStatusText(kStatusFlashingWait);
            m_window.SetTimer(IDT_VERIFY, kVerifyPeriodMs);
            m_window.ProgressSetRange(0, kVerifyRangeMax);
            m_window.ProgressSetStep(1);
            m_window.ProgressSetPos(0);
            m_state = FlashState::Verifying;
        }
        m_window.ProgressStepIt();
    }
    file.Close();
    return true;
}
