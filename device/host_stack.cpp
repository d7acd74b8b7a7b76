#include "device/host_stack.h"

#include "base/file_identity.h"
#include "device/emulated/emulated_host.h"
#include "device/emulated/scenario.h"
#include "device/recording_host.h"

namespace {

// Opens an output file that must not be the image; false with the fault.
bool OpenOutput(const std::string& path, IOutputFile& file, const std::string& image, HostStackFault isImage,
                HostStackFault notOpened, HostStackError& error)
{
    // Names can differ (links, another spelling); the file's identity cannot.
    if (!image.empty() && IsSameFile(path, image)) {
        error.fault = isImage;
        return false;
    }
    if (!file.Open(path)) {
        error.fault = notOpened;
        error.strDetail = file.ErrorText();
        error.bFifoWithoutReader = file.FifoWithoutReader();
        return false;
    }
    return true;
}

}  // namespace

CHostStack::CHostStack() = default;
CHostStack::~CHostStack() = default;

bool CHostStack::Build(const HostStackSpec& spec, HostStackError& error)
{
    error = HostStackError{};
    EmulatorScenario scenario;
    const bool bEmulate = spec.bEmulate && spec.pHost == nullptr;
    if (bEmulate && !ParseScenario(spec.strScenario, scenario, error.strDetail)) {
        error.fault = HostStackFault::BadScenario;
        return false;
    }
    IOutputFile* pTranscript = !spec.strTranscript.empty() ? spec.pTranscript : nullptr;
    if (pTranscript != nullptr &&
        !OpenOutput(spec.strTranscript, *pTranscript, spec.strImage, HostStackFault::TranscriptIsImage,
                    HostStackFault::TranscriptNotOpened, error))
        return false;

    IScsiHost* pHost = spec.pHost;
    if (pHost == nullptr && bEmulate) {
        IClock* pClock = spec.pClock;
        if (pClock == nullptr) {
            m_pOwnClock = std::make_unique<SystemClock>();
            pClock = m_pOwnClock.get();
        }
        if (pTranscript != nullptr)
            m_pEmulatedTranscript = std::make_unique<CTranscriptLines>(pTranscript->Stream());
        m_pOwnHost = std::make_unique<EmulatedHost>(scenario, *pClock, m_pEmulatedTranscript.get());
        m_bEmulated = true;
        pHost = m_pOwnHost.get();
    } else if (pHost == nullptr) {
        m_pOwnHost = CreatePlatformHost();
        if (!m_pOwnHost) {
            error.fault = HostStackFault::NoPlatformHost;
            return false;
        }
        pHost = m_pOwnHost.get();
    }
    m_pTop = pHost;

    IOutputFile* pLog = !spec.strLog.empty() ? spec.pLog : nullptr;
    // Two formats in one file could be told apart by no reader.
    if (pLog != nullptr && pTranscript != nullptr &&
        (spec.strLog == spec.strTranscript || IsSameFile(spec.strLog, spec.strTranscript))) {
        error.fault = HostStackFault::LogIsTranscript;
        return false;
    }
    if (pLog != nullptr &&
        !OpenOutput(spec.strLog, *pLog, spec.strImage, HostStackFault::LogIsImage, HostStackFault::LogNotOpened, error))
        return false;

    auto nodeName = [pHost](char drive) { return pHost->DriveNodeText(drive); };
    if (pTranscript != nullptr && !m_bEmulated) {
        // Real devices are recorded in the emulated devices' format, with
        // what only the recording layer knows added.
        RecordingOptions recording;
        recording.pLog = &pTranscript->Stream();
        recording.bDataDigest = true;
        recording.nodeName = nodeName;
        m_pTranscriptLayer = std::make_unique<CRecordingHost>(*m_pTop, std::move(recording));
        m_pTop = m_pTranscriptLayer.get();
    }
    if (pLog != nullptr || spec.bAlwaysRecord) {
        RecordingOptions recording;
        recording.pLog = pLog ? &pLog->Stream() : nullptr;
        recording.strRun = spec.strRun;
        recording.nodeName = nodeName;
        m_pRecorder = std::make_unique<CRecordingHost>(*m_pTop, std::move(recording));
        m_pTop = m_pRecorder.get();
    }
    return true;
}
