#include "run/device_list.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "base/json_line.h"
#include "device/drive_name.h"
#include "device/drive_nodes.h"
#include "device/flash_device.h"
#include "form/inquiry_text.h"
#include "run/run_environment.h"

namespace {

// Asks the selected device for its INQUIRY data.
void Identify(CFlashDevice& device, ListedDevice& listed)
{
    listed.bAnswered = device.Inquiry() == CommandResult::Good;
    if (listed.bAnswered)
        ReadInquiryIdentity(device.GetDataBuffer(), listed);
}

// "D", "d:", "D:\" name a drive letter; the letter in upper case, or 0.
char LetterSpec(const std::string& spec)
{
    return spec.size() == 1 ? DriveRootLetter(spec + ":") : DriveRootLetter(std::string_view(spec));
}

bool IsIndex(const std::string& spec)
{
    return !spec.empty() && spec.size() <= 4 && spec.find_first_not_of("0123456789") == std::string::npos;
}

// A device's answer may hold any byte: a control character would break the
// table's one line per device or move the terminal's cursor, so it shows as '?'.
std::string TableCell(std::string text)
{
    for (char& ch : text) {
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F)
            ch = '?';
    }
    return text;
}

}  // namespace

void ReadInquiryIdentity(const uint8_t* data, ListedDevice& listed)
{
    listed.strVendor = InquiryText(data, InquiryField::Vendor, true);
    listed.strProduct = InquiryText(data, InquiryField::Product, true);
    listed.strRevision = InquiryText(data, InquiryField::Revision, true);
}

std::vector<ListedDevice> ListDevices(IScsiHost& host, bool identify)
{
    std::vector<ListedDevice> devices;
    CFlashDevice device(host);
    const int16_t count = device.GetDeviceCount();
    for (int16_t i = 0; i < count; ++i) {
        ListedDevice listed;
        listed.nIndex = i;
        const DeviceEntry* entry = device.GetDeviceEntry(i);
        if (entry && entry->chDrive != static_cast<char>(0xFF)) {
            listed.chDrive = static_cast<char>(std::toupper(static_cast<unsigned char>(entry->chDrive)));
            listed.strNode = host.DriveNodeText(listed.chDrive);
        } else {
            // Behind ASPI a device is known by adapter and target; its letter,
            // when the layer tells it, is the one the form's /S selects it by.
            listed.chDrive = device.QueryAspiDriveLetter(i);
            listed.strNode = "aspi";
            if (entry)
                listed.strNode += " " + std::to_string(entry->nAdapter) + ":" + std::to_string(entry->nTarget);
        }
        if (identify) {
            device.SelectDevice(i);
            Identify(device, listed);
        }
        devices.push_back(listed);
    }
    return devices;
}

ListedDevice IdentifyDrive(IScsiHost& host, char drive)
{
    ListedDevice listed;
    listed.chDrive = drive;
    CFlashDevice device(host);
    const char spec[] = {drive, ':', '\0'};
    if (device.OpenDrive(spec))
        Identify(device, listed);
    return listed;
}

#ifndef _WIN32
namespace {

// The group and file of the udev rule the kt3916flash package installs for
// KT3916 devices.
constexpr char kRuleGroup[] = "plugdev";
constexpr char kRuleFile[] = "60-kt3916flash.rules";

std::string LinuxAccessAdvice(const OpenFailure& failure)
{
    std::string text =
        !failure.strGroup.empty() && failure.strGroup != "root"
            ? "; add your user to the '" + failure.strGroup + "' group (then log in again) or run as root"
            : "; run as root or give your user read-write access to " + failure.strNode;
    const std::string rule = std::string("; the kt3916flash package's udev rule (") + kRuleFile + ") gives ";
    // Only a KT3916 is covered by the package's rule: for any other drive it
    // would be the wrong way in.
    if (failure.bKt3916 && failure.strGroup == kRuleGroup)
        return text + rule + "that group read-write access to KT3916 devices";
    if (failure.bKt3916) {
        return text + rule + "the '" + kRuleGroup +
               "' group read-write access to KT3916 devices: install the package, or replug the device if it is "
               "installed";
    }
    // A real KT3916 may name itself otherwise than the rule expects.
    if (failure.chDrive) {
        text += std::string("; if this is a KT3916, '") + kCliProgramName + " udev-rule --device " + failure.chDrive +
                ":' (as root) prints a udev rule that gives the '" + kRuleGroup + "' group access to it";
    }
    return text;
}

}  // namespace
#endif

std::string OpenFailureText(const OpenFailure& failure)
{
    switch (failure.kind) {
    case OpenFailure::Kind::Denied:
#ifdef _WIN32
        // Since Vista a standard user's token may not open a CD-ROM drive
        // for writing; only an elevated one may.
        return failure.strFacts + ": run " + kCliProgramName + ".exe from an administrator prompt";
#else
        return failure.strFacts + LinuxAccessAdvice(failure);
#endif
    case OpenFailure::Kind::Missing:
        return failure.strFacts +
               "; check that the device is still attached and that the sg module is loaded (modprobe sg)";
    case OpenFailure::Kind::NoGenericNode:
        return failure.strFacts + "; load the sg module (modprobe sg)";
    default:
        return failure.strFacts;
    }
}

std::string OpenProblem(IScsiHost& host, char drive)
{
    IDriveNodes* nodes = host.DriveNodes();
    return nodes ? OpenFailureText(nodes->OpenProblem(drive)) : std::string();
}

std::vector<char> BusyDrives(IScsiHost& host)
{
    std::vector<char> busy;
    if (IDriveNodes* nodes = host.DriveNodes()) {
        for (char letter : nodes->ScannedLetters()) {
            if (nodes->OpenProblem(letter).kind == OpenFailure::Kind::Busy)
                busy.push_back(letter);
        }
    }
    return busy;
}

DeviceChoice ChooseDevice(IScsiHost& host, const std::optional<std::string>& spec,
                          const std::vector<ListedDevice>& devices, const std::vector<char>& busyDrives)
{
    if (!spec) {
        const size_t found = devices.size() + busyDrives.size();
        if (found == 0)
            return {kExitNoDevice, "No device found"};
        if (found > 1) {
            return {kExitUsage,
                    std::to_string(found) +
                        " devices found: name the one to flash with --device, or flash them all with --all"};
        }
        return {kExitSuccess, "", devices.empty() ? busyDrives[0] : devices[0].chDrive};
    }

    const std::string& text = *spec;
    if (IsIndex(text)) {
        const size_t index = std::stoul(text);
        if (index >= devices.size())
            return {kExitNoDevice, "no device with index " + text + " (" + std::to_string(devices.size()) + " found)"};
        if (!devices[index].chDrive)
            return {kExitUsage, "device " + text + " has no drive letter: name its drive letter with --device"};
        return {kExitSuccess, "", devices[index].chDrive};
    }
    char letter = LetterSpec(text);
    if (!letter)
        letter = DevicePathLetter(std::string_view(text));
#ifdef __linux__
    if (!letter && !text.empty() && text[0] == '/') {
        IDriveNodes* nodes = host.DriveNodes();
        letter = nodes ? nodes->LetterForNode(text) : 0;
        if (!letter)
            return {kExitNoDevice, "no CD-ROM-class device at " + text};
    }
#endif
    if (!letter)
        return {kExitUsage, "'" + text + "' is not a drive letter, device node or index"};

    // Devices reached without letters (ASPI) are found by letter only by
    // the form itself.
    const auto listed = [letter](const ListedDevice& d) { return d.chDrive == letter || !d.chDrive; };
    if (std::find(busyDrives.begin(), busyDrives.end(), letter) != busyDrives.end() ||
        std::any_of(devices.begin(), devices.end(), listed))
        return {kExitSuccess, "", letter};
    const std::string problem = OpenProblem(host, letter);
    // "E:" already ends in a colon: the reason follows after a blank.
    return {kExitNoDevice, std::string("no device at drive ") + letter + ":" + (problem.empty() ? "" : " " + problem)};
}

std::string FormatDeviceTable(const std::vector<ListedDevice>& devices)
{
    size_t nodeWidth = 4;
    for (const ListedDevice& d : devices)
        nodeWidth = std::max(nodeWidth, d.strNode.size());
    auto row = [&](const std::string& index, const std::string& drive, const std::string& node,
                   const std::string& vendor, const std::string& product, const std::string& revision) {
        char line[256];
        std::snprintf(line, sizeof line, "%-5s  %-5s  %-*s  %-8s  %-16s  %s\n", index.c_str(), drive.c_str(),
                      static_cast<int>(nodeWidth), TableCell(node).c_str(), TableCell(vendor).c_str(),
                      TableCell(product).c_str(), TableCell(revision).c_str());
        std::string text = line;
        // Columns padded for reading; no trailing blanks.
        while (text.size() > 1 && text[text.size() - 2] == ' ')
            text.erase(text.size() - 2, 1);
        return text;
    };
    std::string table = row("index", "drive", "node", "vendor", "product", "revision");
    for (const ListedDevice& d : devices) {
        table += row(std::to_string(d.nIndex), DriveText(d.chDrive), d.strNode,
                     d.bAnswered ? d.strVendor : "(no answer)", d.strProduct, d.strRevision);
    }
    return table;
}

std::string DeviceJson(const ListedDevice& d)
{
    std::string json;
    CJsonLine out(json);
    out.String("event", "device").Number("index", d.nIndex);
    out.String("device", DriveText(d.chDrive)).String("node", d.strNode);
    out.Bool("answered", d.bAnswered).String("vendor", d.strVendor).String("product", d.strProduct);
    out.String("revision", d.strRevision).Close();
    return json;
}

void PrintOpenProblems(CliEnvironment& env, IScsiHost& host)
{
    if (IDriveNodes* nodes = host.DriveNodes()) {
        for (char letter : nodes->ScannedLetters()) {
            const std::string text = OpenFailureText(nodes->OpenProblem(letter));
            if (!text.empty())
                PrintError(env, std::string(1, letter) + ": " + text);
        }
    }
}
