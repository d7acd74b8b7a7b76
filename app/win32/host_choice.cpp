#include "app/win32/host_choice.h"

#include "app/options.h"
#include "app/win32/win32_include.h"
#include "console/file_identity.h"
#include "device/emulated/emulated_host.h"
#include "device/emulated/scenario.h"
#include "device/recording_host.h"

namespace {
constexpr char kMsgTranscriptIsImage[] = "KT3916FLASH_TRANSCRIPT names the image file itself: ";

// True when the variable is set, also when it is set to an empty text.
bool ReadEnvironment(const char* pszName, std::string& strValue)
{
    SetLastError(ERROR_SUCCESS);
    DWORD nLength = GetEnvironmentVariableA(pszName, nullptr, 0);
    if (nLength == 0) {
        strValue.clear();
        return GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    }
    std::string strBuffer(nLength, '\0');
    DWORD nCopied = GetEnvironmentVariableA(pszName, strBuffer.data(), nLength);
    strBuffer.resize(nCopied < nLength ? nCopied : 0);
    strValue = strBuffer;
    return true;
}
}  // namespace

bool ChooseHost(CHostChoice& choice, std::string& strError)
{
    std::string strScenario;
    const bool bEmulate = ReadEnvironment("KT3916FLASH_EMULATE", strScenario);
    EmulatorScenario scenario;
    std::string strParseError;
    if (bEmulate && !ParseScenario(strScenario, scenario, strParseError)) {
        strError = "KT3916FLASH_EMULATE: bad scenario \"" + strScenario + "\": " + strParseError;
        return false;
    }
    std::string strTranscript;
    if (ReadEnvironment("KT3916FLASH_TRANSCRIPT", strTranscript) && !strTranscript.empty()) {
        // Records appended to the firmware file would corrupt it.
        if (!g_strImagePath.empty() && IsSameFile(strTranscript, g_strImagePath)) {
            strError = kMsgTranscriptIsImage + strTranscript;
            return false;
        }
        auto pTranscript =
            std::make_unique<std::ofstream>(strTranscript, std::ios::out | std::ios::app | std::ios::binary);
        if (!*pTranscript) {
            strError = "KT3916FLASH_TRANSCRIPT: cannot open \"" + strTranscript + "\" for appending.";
            return false;
        }
        choice.pTranscript = std::move(pTranscript);
    }
    if (!bEmulate) {
        choice.pPlatformHost = CreatePlatformHost();
        if (!choice.pPlatformHost) {
            strError = "The device access of this system could not be set up.";
            return false;
        }
        if (!choice.pTranscript) {
            choice.pHost = std::move(choice.pPlatformHost);
            return true;
        }
        // Real devices are recorded by the layer around their host, in the
        // emulated devices' format with what only that layer knows added.
        RecordingOptions recording;
        recording.pLog = choice.pTranscript.get();
        recording.bDataDigest = true;
        choice.pHost = std::make_unique<CRecordingHost>(*choice.pPlatformHost, std::move(recording));
        return true;
    }
    choice.pClock = std::make_unique<SystemClock>();
    choice.pHost = std::make_unique<EmulatedHost>(scenario, *choice.pClock, choice.pTranscript.get());
    choice.bEmulated = true;
    return true;
}
