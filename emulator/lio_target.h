#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// One served device as the kernel's SCSI target sees it: a user-space
// backstore, whose commands arrive on a uio device, exported as LUN 0 of a
// loopback target of its own, which the kernel scans as a local SCSI device.
struct LioLun {
    int index = 0;
    std::string backstoreDir;  // in configfs
    std::string wwnDir;        // in configfs
    std::string uioDevice;     // /dev/uioN
    std::size_t mapSize = 0;   // of the uio device's command ring mapping
    std::string hctl;          // host:channel:target:lun
    std::string blockNode;     // /dev/srN
    std::string genericNode;   // /dev/sgN
};

// Configures the kernel's SCSI target through configfs. Everything a server
// makes carries its process id (backstores kt3916_PID_N under the HBA
// user_3916, loopback WWNs naa.5001405PPPPPPNNN), so several servers run side
// by side, and each removes at start what servers that are no longer running
// left, without touching anyone else's configuration.
class CLioTarget {
public:
    explicit CLioTarget(int pid, std::string configfsRoot = "/sys/kernel/config", std::string sysRoot = "/sys",
                        std::string devRoot = "/dev", std::string procRoot = "/proc");

    // Removes the loopback targets of this server: the kernel forgets its
    // SCSI devices. Their backstores must still answer while it does.
    void RemoveExports();
    // Removes the exports and then the backstores of this server; their uio
    // devices must be closed by then.
    void RemoveAll();
    // Removes what servers that are no longer running left behind.
    void RemoveLeftovers();

    // Creates and enables the backstore of device `index`; its command ring is
    // then ready to be mapped. The kernel ends a command that gets no answer
    // within commandTimeoutS seconds.
    bool CreateBackstore(int index, uint32_t commandTimeoutS, LioLun& lun, std::string& error);
    // Exports the backstore through a loopback target. The kernel scans the
    // LUN at once, so its commands must already be served.
    bool AttachLun(LioLun& lun, std::string& error);
    // Waits until the kernel has bound the CD-ROM driver and the generic node.
    bool WaitForNodes(LioLun& lun, uint32_t timeoutMs, std::string& error);

private:
    std::string Target(const std::string& path) const;
    void RemoveLoopback(const std::string& wwnDir) const;
    // Removes the exports and backstores of the servers `owned` names.
    template <typename Owned>
    void Remove(Owned owned, bool backstores) const;
    bool ServerRunning(int pid) const;

    int m_nPid;
    std::string m_strConfigfs;
    std::string m_strSys;
    std::string m_strDev;
    std::string m_strProc;
};

// What keeps the kernel from serving devices, as one line for the user, or
// empty. The modules are loaded when missing.
std::string MissingKernelModule();
bool ConfigfsMounted(const std::string& configfsRoot = "/sys/kernel/config");
