#include "cli/udev_rule.h"

#include <cstdio>
#include <vector>

#include "device/drive_name.h"
#include "run/device_list.h"
#include "run/exit_codes.h"
#include "run/run_environment.h"

namespace {

// The package's rule less its identity: the same nodes, group and mode.
constexpr char kGenericMatch[] = "SUBSYSTEM==\"scsi_generic\", SUBSYSTEMS==\"scsi\", ATTRS{type}==\"5\"";
constexpr char kBlockMatch[] = "SUBSYSTEM==\"block\", KERNEL==\"sr[0-9]*\", SUBSYSTEMS==\"scsi\", ATTRS{type}==\"5\"";
constexpr char kAccess[] = "GROUP=\"plugdev\", MODE=\"0660\"";
// Where the rule is meant to go: after the package's own rule (60-), so the
// local one has the last word for its drive.
constexpr char kLocalUdevRulePath[] = "/etc/udev/rules.d/61-kt3916flash-local.rules";

// The udev rule (with its comment) that gives the group plugdev read-write
// access to the sg and sr nodes of drives with the device's vendor and
// product; false with the reason in error when either cannot be quoted.
bool FormatUdevRule(const ListedDevice& device, std::string& rule, std::string& error)
{
    std::string vendor, product;
    if (!QuoteUdevMatch(device.strVendor, vendor, error)) {
        error = "its vendor '" + device.strVendor + "' " + error;
        return false;
    }
    if (!QuoteUdevMatch(device.strProduct, product, error)) {
        error = "its product '" + device.strProduct + "' " + error;
        return false;
    }
    const std::string identity = ", ATTRS{vendor}==\"" + vendor + "\", ATTRS{model}==\"" + product + "\", ";
    rule = "# " + std::string(kCliProgramName) + " udev-rule: drive " + DriveText(device.chDrive) + " (" +
           device.strNode + ") is \"" + device.strVendor + " " + device.strProduct +
           "\".\n"
           "# Gives the group plugdev read-write access to the sg and sr nodes of every\n"
           "# CD-ROM-class drive with this vendor and product. As root, save it as\n"
           "# " +
           std::string(kLocalUdevRulePath) +
           ", run\n"
           "# 'udevadm control --reload-rules' and plug the drive in again.\n" +
           kGenericMatch + identity + kAccess + "\n" + kBlockMatch + identity + kAccess + "\n";
    return true;
}

}  // namespace

bool QuoteUdevMatch(const std::string& text, std::string& quoted, std::string& error)
{
    quoted.clear();
    if (text.empty()) {
        error = "is empty, and an empty match would take in every drive whose field is blank";
        return false;
    }
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        // A quote or backslash ends or escapes the value, | splits it into
        // alternatives, $ and % may be read as substitutions: none of them
        // has a form that udev is sure to read as the character itself.
        if (byte < 0x20 || byte > 0x7E || c == '"' || c == '\\' || c == '|' || c == '$' || c == '%') {
            char shown[8];
            std::snprintf(shown, sizeof shown, "0x%02X", byte);
            error = std::string("holds the character ") + shown + ", which a udev rule cannot match exactly";
            return false;
        }
        if (c == '*' || c == '?' || c == '[') {
            quoted += '[';
            quoted += c;
            quoted += ']';
        } else {
            quoted += c;
        }
    }
    return true;
}

int CommandUdevRule(const CliOptions& options, IScsiHost& host, CliEnvironment& env)
{
    const std::vector<ListedDevice> devices = ListDevices(host);
    const DeviceChoice choice = ChooseDevice(host, options.device, devices, BusyDrives(host));
    if (choice.exit != kExitSuccess) {
        PrintOpenProblems(env, host);
        PrintError(env, choice.strError + "; no rule was written");
        return choice.exit;
    }
    const ListedDevice* chosen = nullptr;
    for (const ListedDevice& d : devices) {
        if (d.chDrive == choice.chDrive)
            chosen = &d;
    }
    const std::string drive = DriveText(choice.chDrive);
    if (!chosen) {
        PrintError(env, drive + " is in use by another program; try again once it is free");
        return kExitDeviceBusy;
    }
    if (!chosen->bAnswered) {
        PrintError(env, drive + " did not answer INQUIRY: its vendor and product are not known; no rule was written");
        return kExitError;
    }
    std::string rule, error;
    if (!FormatUdevRule(*chosen, rule, error)) {
        PrintError(env, drive + " " + error + "; no rule was written");
        return kExitError;
    }
    *env.pOut << rule;
    return kExitSuccess;
}
