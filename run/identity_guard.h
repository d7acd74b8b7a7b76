#pragma once
#include <cstddef>
#include <optional>
#include <string>

struct ListedDevice;

// What a device must be before anything is sent to it. Trailing blanks do
// not count, on either side.
struct IdentityExpectation {
    std::optional<std::string> identity;  // vendor, one blank, product: as 'list' shows them
    std::optional<std::string> revision;
    // The signed image's revision: a device that runs a newer one gets
    // nothing (unless --allow-older, which leaves this empty).
    std::optional<std::string> newestRevision;

    bool IsSet() const { return identity || revision || newestRevision; }
};

// Empty when the device is the expected one; otherwise what it is and what
// was expected, e.g. 'D: is "OTHERCO DVD-ROM-X" revision 2.00, expected
// "KTDEV KT3916 FLASHER"; nothing was sent'. A device that did not answer
// INQUIRY is never the expected one.
std::string IdentityMismatch(const IdentityExpectation& expected, const ListedDevice& device);

// "X.YZ": one to six digits, a point, two digits; the form revisions are
// compared in.
constexpr size_t kLongestRevisionWhole = 6;
bool IsRevisionNumber(const std::string& text);

// text without its trailing blanks.
std::string WithoutTrailingBlanks(std::string text);

// Runs of blanks as one and none at either end: the identity as 'list'
// prints it and as the events print the device's padded fields ("KTDEV
// KT3916 FLASHER" and "KTDEV   KT3916 FLASHER") name the same device.
std::string FoldedBlanks(const std::string& text);
