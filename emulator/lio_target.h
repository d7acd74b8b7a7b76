#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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
    int lunNumber = 0;         // on its loopback target
    int place = 0;             // how often it moved to a loopback target of its own
    std::string blockNode;     // /dev/srN
    std::string genericNode;   // /dev/sgN
};

// Configures the kernel's SCSI target through configfs. Everything a server
// makes carries its server id (backstores kt3916_ID_N under the HBA
// user_3916, loopback WWNs naa.5001405IIIIIINNN), which it holds a lock on
// for its whole life (CServerLock). At start it removes what servers that are
// provably gone left behind: a loopback target only when every LUN of it
// links to a backstore of ours and the lock of that backstore's server can be
// taken. WWNs alone prove nothing: other programs use the same family.
class CLioTarget {
public:
    explicit CLioTarget(int id, std::string configfsRoot = "/sys/kernel/config", std::string sysRoot = "/sys",
                        std::string devRoot = "/dev", std::string runRoot = kServerRunDir);

    // Removes the loopback targets this server made: the kernel forgets its
    // SCSI devices. Their backstores must still answer while it does.
    void RemoveExports();
    // Removes the exports and then the backstores of this server; their uio
    // devices must be closed by then.
    void RemoveAll();
    // Removes what servers that are gone left behind, and what an earlier
    // server of this id left; call it before creating anything.
    void RemoveLeftovers();

    // Creates and enables the backstore of device `index`; its command ring is
    // then ready to be mapped. The kernel ends a command that gets no answer
    // within commandTimeoutS seconds.
    bool CreateBackstore(int index, uint32_t commandTimeoutS, LioLun& lun, std::string& error);
    // Exports the backstore through a loopback target of its own. The kernel
    // scans the LUN at once, so its commands must already be served.
    bool AttachLun(LioLun& lun, std::string& error);
    // The unit leaves the bus: its LUN goes, and with it the kernel's SCSI
    // device and nodes. The backstore stays and must still answer meanwhile.
    bool DetachLun(LioLun& lun, std::string& error);
    // It comes back under the next LUN number of its target, or elsewhere: on
    // a new loopback target, which the kernel scans as another SCSI host.
    bool ReattachLun(LioLun& lun, bool elsewhere, std::string& error);
    // Waits until the kernel has bound the CD-ROM driver and the generic node.
    bool WaitForNodes(LioLun& lun, uint32_t timeoutMs, std::string& error);

    static constexpr const char* kServerRunDir = "/run/kt3916flash-emulator";

private:
    std::string Target(const std::string& path) const;
    // Makes LUN `number` of the device's target and links its backstore in.
    bool ExportLun(LioLun& lun, int number, const char* again, std::string& error);
    void RemoveLoopback(const std::string& wwnDir) const;
    // The server id whose backstores all LUNs of a loopback target link to, or -1.
    int OwnerOfLoopback(const std::string& wwnDir) const;
    // Removes the exports and backstores of the server ids `owned` names.
    template <typename Owned>
    // Then removes the shared HBA when it is empty and no server is creating
    // a backstore in it.
    void Remove(Owned owned);

    int m_nId;
    std::string m_strConfigfs;
    std::string m_strSys;
    std::string m_strDev;
    std::string m_strRun;
    std::vector<std::string> m_vecMadeWwns;  // loopback targets this server created
};

// The lock a server holds for its life on RUN/ID.lock, which tells every other
// server that its devices are alive whatever its process is called, runs
// under or which pid namespace it sees. The id is the process id when free,
// else the next free one (another pid namespace may use the same number).
class CServerLock {
public:
    CServerLock() = default;
    CServerLock(const CServerLock&) = delete;
    CServerLock& operator=(const CServerLock&) = delete;
    ~CServerLock();

    // inUse, when given, names ids that must not be taken although their
    // lock is free (what another server without our run directory made).
    bool Acquire(const std::string& runRoot, int preferredId, std::string& error,
                 const std::function<bool(int)>& inUse = {});
    int Id() const { return m_nId; }

    // True when the server of this id is provably gone: its lock file exists
    // and its lock can be taken. Then the lock is held, and the file removed,
    // until `lock` is destroyed.
    static bool TakeIfGone(const std::string& runRoot, int id, CServerLock& lock);

private:
    // Holds fd's lock on path when it can be taken now; else closes fd.
    bool Take(int fd, int id, const std::string& path);

    int m_nFd = -1;
    int m_nId = -1;
    std::string m_strPath;
};

// True when a backstore or loopback target in configfs carries the server id:
// configfs is one per kernel, while run directories and pid namespaces are
// not, so a server elsewhere may use an id whose lock here is free.
bool ServerIdInUse(const std::string& configfsRoot, int id);
// Takes the lock of an id that no server of this run directory holds and no
// backstore or target in configfs uses, chosen under the HBA lock.
bool AcquireServerId(CServerLock& lock, const std::string& configfsRoot, const std::string& runRoot, int preferredId,
                     std::string& error);

// What keeps the kernel from serving devices, as one line for the user, or
// empty. The modules are loaded when missing, by the modprobe at
// modprobePath, with nothing of this program's environment but a fixed PATH:
// the server runs as root.
std::string MissingKernelModule(const std::string& moduleRoot = "/sys/module", const std::string& modprobePath = "");
bool ConfigfsMounted(const std::string& configfsRoot = "/sys/kernel/config");
