#include "cli/identity_guard.h"

#include "cli/device_list.h"
#include "console/inquiry_text.h"

std::string WithoutTrailingBlanks(std::string text)
{
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

std::string FoldedBlanks(const std::string& text)
{
    std::string folded;
    for (char c : text) {
        if (c == ' ' && (folded.empty() || folded.back() == ' '))
            continue;
        folded += c;
    }
    return WithoutTrailingBlanks(folded);
}

std::string IdentityMismatch(const IdentityExpectation& expected, const ListedDevice& device)
{
    if (!expected.IsSet())
        return {};
    const std::string identity = WithoutTrailingBlanks(VendorProductText(device.strVendor, device.strProduct));
    const std::string revision = WithoutTrailingBlanks(device.strRevision);
    const bool identityMatches = !expected.identity || FoldedBlanks(*expected.identity) == FoldedBlanks(identity);
    const bool revisionMatches = !expected.revision || WithoutTrailingBlanks(*expected.revision) == revision;
    if (device.bAnswered && identityMatches && revisionMatches)
        return {};

    std::string text = DriveText(device.chDrive) + (device.bAnswered ? " is \"" + identity + "\" revision " + revision
                                                                     : std::string(" did not answer INQUIRY"));
    text += ", expected";
    if (expected.identity)
        text += " \"" + WithoutTrailingBlanks(*expected.identity) + "\"";
    if (expected.revision)
        text += " revision " + WithoutTrailingBlanks(*expected.revision);
    return text + "; nothing was sent";
}
