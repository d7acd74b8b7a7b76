#include "app/win32/host_choice.h"

#include "app/options.h"
#include "app/win32/win32_include.h"
#include "base/record_file.h"

namespace {
// True when the variable is set, also when it is set to an empty text.
bool ReadEnvironment(const char* pszName, std::string& strValue)
{
    SetLastError(ERROR_SUCCESS);
    DWORD nLength = GetEnvironmentVariableA(pszName, nullptr, 0);
    if (nLength == 0) {
        strValue.clear();
        return GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    }
    strValue.assign(nLength, '\0');
    DWORD nCopied = GetEnvironmentVariableA(pszName, strValue.data(), nLength);
    strValue.resize(nCopied < nLength ? nCopied : 0);
    return true;
}

}  // namespace

bool ChooseHost(CHostChoice& choice, std::string& strError)
{
    HostStackSpec spec;
    spec.bEmulate = ReadEnvironment("KT3916FLASH_EMULATE", spec.strScenario);
    spec.strImage = g_strImagePath;
    if (ReadEnvironment("KT3916FLASH_TRANSCRIPT", spec.strTranscript) && !spec.strTranscript.empty()) {
        choice.pTranscript = std::make_unique<CRecordFile>();
        spec.pTranscript = choice.pTranscript.get();
    }
    HostStackError error;
    if (choice.stack.Build(spec, error))
        return true;
    switch (error.fault) {
    case HostStackFault::BadScenario:
        strError = "KT3916FLASH_EMULATE: bad scenario \"" + spec.strScenario + "\": " + error.strDetail;
        break;
    case HostStackFault::TranscriptIsImage:
        strError = "KT3916FLASH_TRANSCRIPT names the image file itself: " + spec.strTranscript;
        break;
    case HostStackFault::TranscriptNotOpened:
        strError = "KT3916FLASH_TRANSCRIPT: cannot open \"" + spec.strTranscript + "\" for appending.";
        break;
    default:
        strError = "The device access of this system could not be set up.";
        break;
    }
    return false;
}
