#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "console/form_window.h"
#include "device/flash_device.h"
#include "device/host.h"

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

constexpr uint32_t kImageLength512K = 524288;
constexpr uint32_t kImageLength1M = 1048576;

// Verification ticks of the running download. One form per thread, so the
// counter is per thread too.
extern thread_local int32_t g_nVerifyTicks;

// The flash form's behaviour: the start-up survey, the selection change and
// the download sequence, against whatever window hosts it.
class CFlashView {
public:
    CFlashView(IFormWindow& window, IScsiHost& host);
    ~CFlashView();
    CFlashView(const CFlashView&) = delete;
    CFlashView& operator=(const CFlashView&) = delete;

    void OnInitialUpdate();
    void OnSelchangeDeviceList();
    void OnFlash();
    void OnTimer(unsigned id);
    bool DownloadImage();

    CFlashDevice* GetDevice() const { return m_pDevice.get(); }
    uint32_t GetChecksum() const { return m_nChecksum; }

private:
    IFormWindow& m_window;
    IScsiHost& m_host;
    uint32_t m_nChecksum = 0;
    std::unique_ptr<CFlashDevice> m_pDevice;
};
