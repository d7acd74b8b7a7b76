#pragma once
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

// A throw-away sysfs and /dev tree in a temporary folder, laid out like the
// kernel's: /sys/devices/.../H:C:T:L with its attributes and driver nodes,
// and /sys/class/scsi_device/H:C:T:L/device pointing at it.
class CFakeSysfs {
public:
    CFakeSysfs()
    {
        char pattern[] = "/tmp/kt-sysfs-XXXXXX";
        const char* made = mkdtemp(pattern);
        m_root = made ? made : "/tmp/kt-sysfs-failed";
        std::filesystem::create_directories(Sys() + "/class/scsi_device");
        std::filesystem::create_directories(Dev());
    }
    ~CFakeSysfs()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_root, ec);
    }
    CFakeSysfs(const CFakeSysfs&) = delete;
    CFakeSysfs& operator=(const CFakeSysfs&) = delete;

    std::string Sys() const { return m_root + "/sys"; }
    std::string Dev() const { return m_root + "/dev"; }

    struct Device {
        std::string hctl;
        int type = 5;
        std::string block;    // "sr0", or empty
        std::string generic;  // "sg0", or empty
        std::string vendor = "KTDEV   ";
        std::string model = "KT3916 FLASHER  ";
        std::string rev = "1.00";
        bool oldStyleLinks = false;        // "block:sr0" instead of block/sr0
        bool viaClass = true;              // listed under class/scsi_device
        std::string place = "pci0000:00";  // what the device hangs off, under devices/
        std::string serial = {};           // its serial number VPD page, when it has one
    };

    void Add(const Device& d)
    {
        namespace fs = std::filesystem;
        const std::string dir =
            Sys() + "/devices/" + d.place + "/host" + d.hctl.substr(0, d.hctl.find(':')) + "/target/" + d.hctl;
        fs::create_directories(dir);
        Write(dir + "/type", std::to_string(d.type) + "\n");
        Write(dir + "/vendor", d.vendor + "\n");
        Write(dir + "/model", d.model + "\n");
        Write(dir + "/rev", d.rev + "\n");
        if (!d.serial.empty())
            Write(dir + "/vpd_pg80", d.serial);
        AddNode(dir, "block", d.block, d.oldStyleLinks);
        AddNode(dir, "scsi_generic", d.generic, d.oldStyleLinks);
        if (d.viaClass) {
            fs::create_directories(Sys() + "/class/scsi_device/" + d.hctl);
            fs::create_directory_symlink(dir, Sys() + "/class/scsi_device/" + d.hctl + "/device");
        }
        fs::create_directories(Sys() + "/bus/scsi/devices");
        fs::create_directory_symlink(dir, Sys() + "/bus/scsi/devices/" + d.hctl);
        for (const std::string& node : {d.block, d.generic}) {
            if (!node.empty())
                Write(Dev() + "/" + node, "");
        }
    }

    // The place a device added at `place` shows in a scan.
    std::string Place(const std::string& place) const
    {
        return std::filesystem::canonical(Sys() + "/devices").string() + "/" + place;
    }

    // The device is gone: the kernel drops its folders.
    void Remove(const std::string& hctl)
    {
        std::filesystem::remove_all(Sys() + "/class/scsi_device/" + hctl);
        std::filesystem::remove(Sys() + "/bus/scsi/devices/" + hctl);
    }

    void RemoveClassFolder() { std::filesystem::remove_all(Sys() + "/class"); }

    static void Write(const std::string& path, const std::string& text)
    {
        std::ofstream out(path);
        out << text;
    }

private:
    static void AddNode(const std::string& dir, const std::string& kind, const std::string& node, bool oldStyle)
    {
        if (node.empty())
            return;
        namespace fs = std::filesystem;
        fs::create_directories(dir + "/../../" + kind + "/" + node);
        if (oldStyle) {
            fs::create_directory_symlink(dir + "/../../" + kind + "/" + node, dir + "/" + kind + ":" + node);
        } else {
            fs::create_directories(dir + "/" + kind + "/" + node);
        }
    }

    std::string m_root;
};
