#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include "device/aspi_srb.h"
#include "device/linux/sysfs_scan.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAttribute(const fs::path& path)
{
    std::ifstream in(path);
    std::string text;
    if (in)
        std::getline(in, text);
    constexpr char kBlanks[] = " \t\n\v\f\r";
    const size_t first = text.find_first_not_of(kBlanks);
    return first == std::string::npos ? std::string() : text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// The node a driver registered under the device: a "<kind>/<node>" folder on
// current kernels, a "<kind>:<node>" link on old ones.
std::string FindNode(const fs::path& device, const std::string& kind)
{
    std::error_code ec;
    std::vector<std::string> names;
    for (fs::directory_iterator it(device / kind, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    if (names.empty()) {
        ec.clear();
        const std::string prefix = kind + ":";
        for (fs::directory_iterator it(device, ec), end; !ec && it != end; it.increment(ec)) {
            std::string name = it->path().filename().string();
            if (name.rfind(prefix, 0) == 0)
                names.push_back(name.substr(prefix.size()));
        }
    }
    if (names.empty())
        return {};
    std::sort(names.begin(), names.end());
    return names.front();
}

bool IsHctl(const std::string& name)
{
    int fields = 1;
    bool digit = false;
    for (char c : name) {
        if (std::isdigit(static_cast<unsigned char>(c))) {
            digit = true;
        } else if (c == ':' && digit) {
            ++fields;
            digit = false;
        } else {
            return false;
        }
    }
    return digit && fields == 4;
}

// "sr10" after "sr9": the number at the end of a node name.
long NodeNumber(const std::string& node)
{
    size_t i = node.size();
    while (i > 0 && std::isdigit(static_cast<unsigned char>(node[i - 1])))
        --i;
    return i == node.size() ? -1 : std::strtol(node.c_str() + i, nullptr, 10);
}

std::vector<long> HctlNumbers(const std::string& hctl)
{
    std::vector<long> numbers;
    const char* p = hctl.c_str();
    while (*p) {
        char* end = nullptr;
        numbers.push_back(std::strtol(p, &end, 10));
        p = *end ? end + 1 : end;
    }
    return numbers;
}

// The device's sysfs path without its "hostN/targetN:C:T/N:C:T:L" tail;
// empty when it has no SCSI host folder above it.
std::string PlaceOf(const fs::path& device)
{
    std::error_code ec;
    const fs::path real = fs::canonical(device, ec);
    if (ec)
        return {};
    fs::path place;
    fs::path upToHost;
    for (const fs::path& part : real) {
        const std::string name = part.string();
        if (name.size() > 4 && name.compare(0, 4, "host") == 0 && std::all_of(name.begin() + 4, name.end(), [](char c) {
                return std::isdigit(static_cast<unsigned char>(c));
            }))
            upToHost = place;
        place /= part;
    }
    return upToHost.string();
}

std::string ReadBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::string SerialText(const LinuxDrive& drive)
{
    // strSerial: the VPD page as the kernel keeps it (a 4-byte header, then
    // the serial number), '|', the USB serial.
    const size_t bar = drive.strSerial.rfind('|');
    if (bar == std::string::npos)
        return {};
    const auto printable = [](std::string text) {
        for (char& c : text) {
            if (c < 0x20 || c > 0x7E)
                c = ' ';
        }
        const size_t first = text.find_first_not_of(' ');
        return first == std::string::npos ? std::string() : text.substr(first, text.find_last_not_of(' ') - first + 1);
    };
    const std::string page = drive.strSerial.substr(0, bar);
    const std::string fromPage =
        page.size() > 4 && static_cast<uint8_t>(page[1]) == 0x80 ? printable(page.substr(4)) : std::string();
    return fromPage.empty() ? printable(drive.strSerial.substr(bar + 1)) : fromPage;
}

std::vector<LinuxDrive> ScanSysfsCdroms(const std::string& sysRoot)
{
    // Each entry: its H:C:T:L name and the folder of the SCSI device itself.
    std::vector<std::pair<std::string, fs::path>> devices;
    std::error_code ec;
    const fs::path classDir = fs::path(sysRoot) / "class" / "scsi_device";
    const bool bClass = fs::is_directory(classDir, ec);
    ec.clear();
    const fs::path dir = bClass ? classDir : fs::path(sysRoot) / "bus" / "scsi" / "devices";
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (IsHctl(name))
            devices.emplace_back(name, bClass ? it->path() / "device" : it->path());
    }

    std::vector<LinuxDrive> drives;
    for (const auto& [hctl, device] : devices) {
        const std::string type = ReadAttribute(device / "type");
        if (type.empty() || std::strtol(type.c_str(), nullptr, 10) != kPeripheralTypeCdrom)
            continue;
        LinuxDrive drive;
        drive.strHctl = hctl;
        drive.strBlockNode = FindNode(device, "block");
        drive.strGenericNode = FindNode(device, "scsi_generic");
        drive.strVendor = ReadAttribute(device / "vendor");
        drive.strModel = ReadAttribute(device / "model");
        drive.strRevision = ReadAttribute(device / "rev");
        drive.strPlace = PlaceOf(device);
        if (!drive.strPlace.empty())
            drive.strSerial =
                ReadBytes(device / "vpd_pg80") + "|" + ReadAttribute(fs::path(drive.strPlace).parent_path() / "serial");
        drives.push_back(std::move(drive));
    }

    std::sort(drives.begin(), drives.end(), [](const LinuxDrive& a, const LinuxDrive& b) {
        const bool aBlock = !a.strBlockNode.empty();
        const bool bBlock = !b.strBlockNode.empty();
        if (aBlock != bBlock)
            return aBlock;
        if (aBlock) {
            return std::make_tuple(NodeNumber(a.strBlockNode), a.strBlockNode) <
                   std::make_tuple(NodeNumber(b.strBlockNode), b.strBlockNode);
        }
        return HctlNumbers(a.strHctl) < HctlNumbers(b.strHctl);
    });
    return drives;
}
