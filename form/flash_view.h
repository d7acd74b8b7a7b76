#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "device/flash_device.h"
#include "device/host.h"
#include "device/sleep_inhibitor.h"
#include "form/flash_outcome.h"
#include "form/form_window.h"
#include "form/image_digest.h"
#include "form/inquiry_text.h"

// Control ids of the form template IDD_FLASH_FORM.
constexpr int IDD_FLASH_FORM = 130;
constexpr int IDC_PROGRESS = 1000;
constexpr int IDC_SPARE_EDIT = 1003;
constexpr int IDC_DEVICE_VER = 1004;
constexpr int IDC_CHECKSUM = 1005;
constexpr int IDC_FILE_PATH = 1006;
constexpr int IDC_STATUS = 1007;
constexpr int IDC_DEVICE_LIST = 1008;

constexpr unsigned IDT_VERIFY = 1025;
constexpr unsigned IDT_START_DOWNLOAD = 1026;
constexpr unsigned kStartDownloadPeriodMs = 500;
constexpr unsigned kVerifyPeriodMs = 1000;

// Verification: ticks 1..kFirstInquiryTick-1 only step the bar, ticks from
// kFirstInquiryTick to kLastVerifyTick ask the device with INQUIRY.
constexpr int32_t kFirstInquiryTick = 13;
constexpr int32_t kLastVerifyTick = 21;
constexpr uint16_t kVerifyRangeMax = 15;

// The verification ticks that ask the device: before nFirstInquiryTick the
// device is still writing its flash and only the bar steps; after
// nLastTick without an answer the update has failed.
struct VerifyWindow {
    int32_t nFirstInquiryTick = kFirstInquiryTick;
    int32_t nLastTick = kLastVerifyTick;
};

// Status line texts. kStatusTemplate is what the template shows until a
// complete survey clears it.
inline constexpr char kStatusTemplate[] = "Static";
inline constexpr char kStatusSending[] = "sending data....";
inline constexpr char kStatusFlashingWait[] = "Flashing wait.....";
inline constexpr char kStatusFlashingOk[] = "Flashing OK";

// Verification ticks of the running download. One form per thread, so the
// counter is per thread too.
extern thread_local int32_t g_nVerifyTicks;

// Where the download sequence stands. Only Ready accepts a new download;
// Stopped is final for the life of the form.
enum class FlashState {
    Ready,
    Armed,
    Sending,
    Verifying,
    Stopped
};

const char* FlashStateName(FlashState state);

// The flash form's behaviour: the start-up survey, the selection change and
// the download sequence, against whatever window hosts it.
class CFlashView {
public:
    // sleepInhibitor: keeps the machine awake from the start of a transfer
    // to the end of its verification wait (or of the transfer, when that
    // fails); null leaves the machine's sleep alone. observer: hears what
    // the form does; null when nobody listens.
    CFlashView(IFormWindow& window, IScsiHost& host, ISleepInhibitor* sleepInhibitor = nullptr,
               IFlashViewObserver* observer = nullptr);
    ~CFlashView();

    void OnInitialUpdate();
    void OnSelchangeDeviceList();
    void OnFlash();
    void OnTimer(unsigned id);
    bool DownloadImage();

    CFlashDevice* GetDevice() const { return m_pDevice.get(); }
    uint32_t GetChecksum() const { return m_checkedImage ? m_checkedImage->nChecksum : 0; }
    FlashState GetState() const { return m_state; }
    // True once a survey ran to its end (devices listed, image summed).
    bool IsSurveyComplete() const { return m_bSurveyComplete; }
    // Before OnInitialUpdate: every download sends the image with this digest
    // and no other, whatever the file holds at the survey. A station checks
    // its image once and holds each unit's form to it.
    void HoldImage(const ImageDigest& digest) { m_heldImage = digest; }
    // For devices that restart more slowly; the next download polls in it.
    void SetVerifyWindow(const VerifyWindow& window) { m_verifyWindow = window; }

private:
    bool SurveyDevices();
    void TakeCheckedImage(const ImageDigest& digest);
    void ShowRevision();
    void OnVerifyTick();
    void Tell(const FlashEvent& event);
    // The download is over: the device list takes a new choice again.
    void EndDownload(FlashState state);
    bool FailDownload(FlashOutcome outcome);
    // Nothing was sent: the form takes a new download.
    bool RefuseDownload(FlashOutcome outcome);
    // The outcome's box; the observer hears of it first.
    void ShowOutcome(FlashOutcome outcome);
    void AllowSleep();

    IFormWindow& m_window;
    IScsiHost& m_host;
    ISleepInhibitor* m_pSleepInhibitor;
    IFlashViewObserver* m_pObserver;
    bool m_bKeepingAwake = false;
    std::unique_ptr<CFlashDevice> m_pDevice;
    // The image whose checksum the form shows; what a download may send.
    std::optional<ImageDigest> m_checkedImage;
    std::optional<ImageDigest> m_heldImage;
    FlashState m_state = FlashState::Ready;
    bool m_bSurveyComplete = false;
    int16_t m_nFlashDevice = 0;  // the device of the running download
    VerifyWindow m_verifyWindow;
    // The revision bytes of the INQUIRY that ended the last verification, as
    // the device sent them; empty until a device answered one.
    std::string m_strAnsweredRevision;
};
