#include "run/identity_guard.h"

#include "device/drive_name.h"
#include "form/inquiry_text.h"
#include "run/device_list.h"

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

bool IsRevisionNumber(const std::string& text)
{
    const size_t point = text.find('.');
    return point >= 1 && point <= kLongestRevisionWhole && point + 3 == text.size() &&
           text.find_first_not_of("0123456789", point + 1) == std::string::npos &&
           text.find_first_not_of("0123456789") == point;
}

namespace {

// X.YZ in hundredths.
unsigned long Hundredths(const std::string& revision)
{
    const size_t point = revision.find('.');
    return std::stoul(revision.substr(0, point)) * 100 + std::stoul(revision.substr(point + 1));
}

// Why a device that runs revision may not take an image of newest: it runs
// a newer one, or one that cannot be compared with it; empty when it may.
std::string NewerThanImage(const std::string& revision, const std::string& newest)
{
    if (!IsRevisionNumber(revision))
        return " reports revision \"" + revision + "\", which cannot be compared with the signed image's revision " +
               newest + "; nothing was sent (--allow-older flashes it)";
    if (Hundredths(revision) <= Hundredths(newest))
        return {};
    return " runs revision " + revision + ", newer than the signed image's revision " + newest +
           "; nothing was sent (--allow-older flashes it)";
}

}  // namespace

std::string IdentityMismatch(const IdentityExpectation& expected, const ListedDevice& device)
{
    if (!expected.IsSet())
        return {};
    const std::string identity = WithoutTrailingBlanks(VendorProductText(device.strVendor, device.strProduct));
    const std::string revision = WithoutTrailingBlanks(device.strRevision);
    const bool identityMatches = !expected.identity || FoldedBlanks(*expected.identity) == FoldedBlanks(identity);
    const bool revisionMatches = !expected.revision || WithoutTrailingBlanks(*expected.revision) == revision;
    if (device.bAnswered && identityMatches && revisionMatches) {
        const std::string newer = expected.newestRevision ? NewerThanImage(revision, *expected.newestRevision) : "";
        return newer.empty() ? newer : DriveText(device.chDrive) + newer;
    }

    std::string text = DriveText(device.chDrive) + (device.bAnswered ? " is \"" + identity + "\" revision " + revision
                                                                     : std::string(" did not answer INQUIRY"));
    if (expected.identity || expected.revision)
        text += ", expected";
    if (expected.identity)
        text += " \"" + WithoutTrailingBlanks(*expected.identity) + "\"";
    if (expected.revision)
        text += " revision " + WithoutTrailingBlanks(*expected.revision);
    return text + "; nothing was sent";
}
