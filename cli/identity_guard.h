#pragma once
#include <optional>
#include <string>

struct ListedDevice;

// What a device must be before anything is sent to it. Trailing blanks do
// not count, on either side.
struct IdentityExpectation {
    std::optional<std::string> identity;  // vendor, one blank, product: as 'list' shows them
    std::optional<std::string> revision;

    bool IsSet() const { return identity || revision; }
};

// Empty when the device is the expected one; otherwise what it is and what
// was expected, e.g. 'D: is "OTHERCO DVD-ROM-X" revision 2.00, expected
// "KTDEV KT3916 FLASHER"; nothing was sent'. A device that did not answer
// INQUIRY is never the expected one.
std::string IdentityMismatch(const IdentityExpectation& expected, const ListedDevice& device);

// text without its trailing blanks.
std::string WithoutTrailingBlanks(std::string text);

// Runs of blanks as one and none at either end: the identity as 'list'
// prints it and as the events print the device's padded fields ("KTDEV
// KT3916 FLASHER" and "KTDEV   KT3916 FLASHER") name the same device.
std::string FoldedBlanks(const std::string& text);

// "D:" for a drive, "-" for a device reached without a letter.
inline std::string DriveText(char drive)
{
    return drive ? std::string(1, drive) + ":" : std::string("-");
}
