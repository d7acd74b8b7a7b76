// A unit on a USB bridge may drop off the bus while it restarts and
// re-enumerate under new nodes (a new sg and sr number, a new SCSI host
// number). Its handle follows it there, and only there: the same place and
// the same vendor and product, never a unit somewhere else.
#include <fcntl.h>

#include <vector>

#include "device/linux/linux_host.h"

int CLinuxHost::CommandFd(HostHandle device)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_opened.find(device);
    return it == m_opened.end() ? static_cast<int>(device) : it->second.nFd;
}

bool CLinuxHost::FollowDevice(HostHandle device, int& fd, std::string& error)
{
    OpenedDrive opened;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_opened.find(device);
        // A command that never answered may still reach the unit: nothing
        // more goes to it by any node.
        if (it == m_opened.end() || m_lostHandles.count(device) != 0)
            return false;
        opened = it->second;
    }
    const LinuxDrive& was = opened.drive;
    if (was.strPlace.empty())
        return false;

    // A plain scan: the drive letters of the last listing stay as they are.
    const std::vector<LinuxDrive> drives = ScanSysfsCdroms(m_config.strSysRoot);
    std::vector<LinuxDrive> back;
    bool bElsewhere = false;
    for (const LinuxDrive& drive : drives) {
        if (drive.strHctl == was.strHctl && drive.strGenericNode == was.strGenericNode)
            return false;  // it never left: the failure is its own
        if (drive.strVendor != was.strVendor || drive.strModel != was.strModel || drive.strSerial != was.strSerial ||
            drive.strGenericNode.empty())
            continue;
        if (drive.strPlace == was.strPlace)
            back.push_back(drive);
        else
            bElsewhere = true;
    }
    const std::string unit =
        "the device left the bus (it was " + NodePath(was.strGenericNode) + ", " + was.strHctl + ")";
    if (back.size() != 1) {
        if (back.empty()) {
            error = unit + " and is not back at its place";
            if (bElsewhere)
                error += "; a device of its kind came back elsewhere, which is not followed: it may be another unit";
        } else {
            error = unit + " and " + std::to_string(back.size()) +
                    " devices of its kind are at its place now; none is followed";
        }
        return false;
    }

    LinuxDrive now = back.front();
    now.chLetter = was.chLetter;
    const std::string node = NodePath(now.strGenericNode);
    const int newFd = m_pKernel->Open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | (opened.bExclusive ? O_EXCL : 0));
    if (newFd < 0) {
        error = unit + " and came back as " + now.strHctl + "; " +
                OpenFailureOf(now, node, -newFd, opened.bExclusive).strFacts;
        return false;
    }
    std::string why;
    bool bReady = CheckNodeAddress(newFd, false, now, node, why) && ForcePackId(newFd, node, why);
    if (bReady && opened.bExclusive) {
        // The old block node went with the device; its hold keeps nothing.
        std::unique_lock<std::mutex> lock(m_mutex);
        auto held = m_blockHolds.extract(device);
        lock.unlock();
        if (held)
            m_pKernel->Close(held.mapped());
        bool bBusy = false;
        std::string note;
        bReady = HoldBlockNode(static_cast<int>(device), now, why, bBusy, note);
    }
    if (!bReady) {
        m_pKernel->Close(newFd);
        error = unit + " and came back as " + now.strHctl + "; " + why;
        return false;
    }

    int previousFd = -1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        OpenedDrive& entry = m_opened[device];
        previousFd = entry.nFd;
        entry.drive = now;
        entry.nFd = newFd;
        // The unit keeps its letter, unless a scan meanwhile gave it to another drive.
        bool bLetterFree = true;
        for (const auto& [key, letter] : m_letters)
            bLetterFree = bLetterFree && (letter != was.chLetter || key == LetterKey(was));
        if (bLetterFree) {
            m_letters.erase(LetterKey(was));
            m_letters[LetterKey(now)] = was.chLetter;
        }
    }
    if (previousFd != static_cast<int>(device))
        m_pKernel->Close(previousFd);
    fd = newFd;
    return true;
}
