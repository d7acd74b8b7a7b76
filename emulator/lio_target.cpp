#include "emulator/lio_target.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "base/fail_with.h"

extern char** environ;

namespace {

constexpr const char* kHba = "user_3916";
constexpr const char* kBackstorePrefix = "kt3916_";
constexpr const char* kTargetWwnPrefix = "naa.5001405";
constexpr const char* kInitiatorWwnPrefix = "naa.5001406";
// The WWN index of a device's loopback target after it moved elsewhere:
// index + stride * moves, within the WWN's three hex digits.
constexpr int kPlaceStride = 0x40;

std::string ErrnoText(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

bool WriteAttribute(const std::string& path, const std::string& value, std::string& error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return FailWith(error, ErrnoText("cannot open " + path));
    const ssize_t written = ::write(fd, value.data(), value.size());
    const int saved = errno;
    ::close(fd);
    if (written != static_cast<ssize_t>(value.size())) {
        errno = written < 0 ? saved : EIO;
        return FailWith(error, ErrnoText("cannot write '" + value + "' to " + path));
    }
    return true;
}

std::string ReadFirstLine(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

bool MakeDir(const std::string& path, std::string& error)
{
    if (::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST)
        return true;
    return FailWith(error, ErrnoText("cannot create " + path));
}

std::vector<std::string> Entries(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.emplace_back(e->d_name);
        }
        ::closedir(d);
    }
    return names;
}

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The 16 hex digits of a WWN: the prefix's 7, the server's process id in 6
// and the device index in 3.
std::string Wwn(const char* prefix, int pid, int index)
{
    char text[32];
    std::snprintf(text, sizeof text, "%s%06x%03x", prefix, static_cast<unsigned>(pid) & 0xFFFFFF,
                  static_cast<unsigned>(index) & 0xFFF);
    return text;
}

// The server id in a backstore name kt3916_ID_N, or -1.
int IdOfBackstore(const std::string& name)
{
    const std::size_t prefix = std::strlen(kBackstorePrefix);
    const std::size_t separator = name.find('_', prefix);
    // Up to 8 digits, '_', then at least one digit and nothing else.
    if (!StartsWith(name, kBackstorePrefix) || separator == std::string::npos || separator == prefix ||
        separator - prefix > 8 || separator + 1 == name.size() ||
        name.find_first_not_of("0123456789", prefix) != separator ||
        name.find_first_not_of("0123456789", separator + 1) != std::string::npos)
        return -1;
    return std::atoi(name.c_str() + prefix);
}

bool ModuleLoaded(const std::string& moduleRoot, const char* name)
{
    struct stat st {};
    return ::stat((moduleRoot + "/" + name).c_str(), &st) == 0;
}

// By absolute path and with a fixed PATH only: the server runs as root, and
// the caller's PATH or environment must not choose what runs as root.
void Modprobe(const char* name, const std::string& modprobePath)
{
    std::string program = modprobePath;
    for (const char* candidate : {"/usr/sbin/modprobe", "/sbin/modprobe"}) {
        if (program.empty() && ::access(candidate, X_OK) == 0)
            program = candidate;
    }
    if (program.empty())
        return;
    pid_t pid = 0;
    char quiet[] = "-q";
    std::string module = name;
    char* argv[] = {program.data(), quiet, module.data(), nullptr};
    char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char* envp[] = {path, nullptr};
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp) == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
}

// Holds an exclusive flock on a file for its life.
class CFileLock {
public:
    CFileLock(const std::string& path, bool wait)
    {
        m_nFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_nFd >= 0 && ::flock(m_nFd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
            ::close(m_nFd);
            m_nFd = -1;
        }
    }
    ~CFileLock()
    {
        if (m_nFd >= 0)
            ::close(m_nFd);
    }
    bool Held() const { return m_nFd >= 0; }

private:
    int m_nFd;
};

bool SameFile(int fd, const std::string& path)
{
    struct stat open {
    }, named{};
    return ::fstat(fd, &open) == 0 && ::stat(path.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
           open.st_ino == named.st_ino;
}

constexpr const char* kHbaLockName = "/hba.lock";
// Ids go into 6 hex digits of a WWN.
constexpr int kMaxServerId = 0xFFFFFF;

// Runs make under the HBA lock of the run directory, which it creates when
// missing: backstores are created, and ids chosen, one server at a time.
template <typename Make>
bool UnderHbaLock(const std::string& runRoot, std::string& error, Make make)
{
    if (!MakeDir(runRoot, error))
        return false;
    CFileLock creating(runRoot + kHbaLockName, true);
    if (!creating.Held())
        return FailWith(error, ErrnoText("cannot lock " + runRoot + kHbaLockName));
    return make();
}

std::string LockPath(const std::string& runRoot, int id)
{
    return runRoot + "/" + std::to_string(id) + ".lock";
}

}  // namespace

std::string MissingKernelModule(const std::string& moduleRoot, const std::string& modprobePath)
{
    // The target core, its loopback fabric and user backstore; the CD-ROM and
    // generic SCSI drivers give the device its nodes.
    static constexpr const char* kModules[] = {"target_core_mod", "target_core_user", "tcm_loop", "sr_mod", "sg"};
    for (const char* module : kModules) {
        if (!ModuleLoaded(moduleRoot, module))
            Modprobe(module, modprobePath);
        if (!ModuleLoaded(moduleRoot, module)) {
            return std::string("kernel module ") + module + " is missing and could not be loaded (modprobe " + module +
                   "); it comes with the kernel image (Debian package linux-image-amd64)";
        }
    }
    return {};
}

bool ConfigfsMounted(const std::string& configfsRoot)
{
    std::ifstream mounts("/proc/mounts");
    std::string device, point, type;
    std::string rest;
    while (mounts >> device >> point >> type && std::getline(mounts, rest)) {
        if (type == "configfs" && point == configfsRoot)
            return true;
    }
    return false;
}

CServerLock::~CServerLock()
{
    if (m_nFd < 0)
        return;
    // Removed while still held: whoever opens the name next makes a new file.
    ::unlink(m_strPath.c_str());
    ::close(m_nFd);
}

bool CServerLock::Acquire(const std::string& runRoot, int preferredId, std::string& error,
                          const std::function<bool(int)>& inUse)
{
    if (!MakeDir(runRoot, error))
        return false;
    for (int attempt = 0; attempt < 1024; ++attempt) {
        const int id = (preferredId - 1 + attempt) % kMaxServerId + 1;
        if (inUse && inUse(id))
            continue;
        const std::string path = LockPath(runRoot, id);
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return FailWith(error, ErrnoText("cannot create " + path));
        if (Take(fd, id, path))
            return true;
    }
    return FailWith(error, "no free server id in " + runRoot);
}

bool CServerLock::Take(int fd, int id, const std::string& path)
{
    // A file that a cleaner removed after we opened it locks nothing.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !SameFile(fd, path)) {
        ::close(fd);
        return false;
    }
    m_nFd = fd;
    m_nId = id;
    m_strPath = path;
    return true;
}

bool CServerLock::TakeIfGone(const std::string& runRoot, int id, CServerLock& lock)
{
    const std::string path = LockPath(runRoot, id);
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    // No file: not a server of this machine's run directory, nothing proves it gone.
    return fd >= 0 && lock.Take(fd, id, path);
}

bool ServerIdInUse(const std::string& configfsRoot, int id)
{
    const std::string target = configfsRoot + "/target/";
    for (const std::string& name : Entries(target + "core/" + kHba)) {
        if (IdOfBackstore(name) == id)
            return true;
    }
    // Any target of that WWN, ours or another program's, would refuse ours.
    const std::string wwn = Wwn(kTargetWwnPrefix, id, 0);
    const std::size_t idEnd = wwn.size() - 3;
    for (const std::string& name : Entries(target + "loopback")) {
        if (name.size() == wwn.size() && name.compare(0, idEnd, wwn, 0, idEnd) == 0)
            return true;
    }
    return false;
}

bool AcquireServerId(CServerLock& lock, const std::string& configfsRoot, const std::string& runRoot, int preferredId,
                     std::string& error)
{
    return UnderHbaLock(runRoot, error, [&] {
        return lock.Acquire(runRoot, preferredId, error,
                            [&configfsRoot](int id) { return ServerIdInUse(configfsRoot, id); });
    });
}

CLioTarget::CLioTarget(int id, std::string configfsRoot, std::string sysRoot, std::string devRoot, std::string runRoot)
    : m_nId(id), m_strConfigfs(std::move(configfsRoot)), m_strSys(std::move(sysRoot)), m_strDev(std::move(devRoot)),
      m_strRun(std::move(runRoot))
{
}

std::string CLioTarget::Target(const std::string& path) const
{
    return m_strConfigfs + "/target/" + path;
}

void CLioTarget::RemoveLoopback(const std::string& wwnDir) const
{
    for (const std::string& tpg : Entries(wwnDir)) {
        const std::string tpgDir = wwnDir + "/" + tpg;
        if (!StartsWith(tpg, "tpgt_"))
            continue;
        for (const std::string& lun : Entries(tpgDir + "/lun")) {
            const std::string lunDir = tpgDir + "/lun/" + lun;
            // Unlinking the backstore removes the SCSI device from the kernel.
            for (const std::string& link : Entries(lunDir)) {
                struct stat st {};
                if (::lstat((lunDir + "/" + link).c_str(), &st) == 0 && S_ISLNK(st.st_mode))
                    ::unlink((lunDir + "/" + link).c_str());
            }
            ::rmdir(lunDir.c_str());
        }
        ::rmdir(tpgDir.c_str());  // drops the nexus too
    }
    ::rmdir(wwnDir.c_str());
}

int CLioTarget::OwnerOfLoopback(const std::string& wwnDir) const
{
    int owner = -1;
    for (const std::string& tpg : Entries(wwnDir)) {
        if (!StartsWith(tpg, "tpgt_"))
            continue;
        for (const std::string& lun : Entries(wwnDir + "/" + tpg + "/lun")) {
            const std::string lunDir = wwnDir + "/" + tpg + "/lun/" + lun;
            int links = 0;
            for (const std::string& link : Entries(lunDir)) {
                char target[4096];
                const ssize_t length = ::readlink((lunDir + "/" + link).c_str(), target, sizeof target - 1);
                if (length < 0)
                    continue;  // an attribute
                target[length] = '\0';
                // ".../core/user_3916/kt3916_ID_N", however the link spells the way there.
                const std::string path = std::string("/") + target;
                const std::size_t name = path.rfind('/') + 1;
                const std::string hbaDir = std::string("/core/") + kHba + "/";
                const int id = IdOfBackstore(path.substr(name));
                const bool inHba =
                    name >= hbaDir.size() && path.compare(name - hbaDir.size(), hbaDir.size(), hbaDir) == 0;
                if (!inHba || id < 0 || (owner >= 0 && id != owner))
                    return -1;
                owner = id;
                ++links;
            }
            if (links == 0)
                return -1;  // a LUN of ours always links to its backstore
        }
    }
    return owner;
}

template <typename Owned>
void CLioTarget::Remove(Owned owned)
{
    const std::string loopback = Target("loopback");
    for (const std::string& wwn : Entries(loopback)) {
        if (owned(OwnerOfLoopback(loopback + "/" + wwn)))
            RemoveLoopback(loopback + "/" + wwn);
    }
    const std::string hba = Target(std::string("core/") + kHba);
    for (const std::string& name : Entries(hba)) {
        if (owned(IdOfBackstore(name)))
            ::rmdir((hba + "/" + name).c_str());
    }
    // Another server creates its backstores under this lock: between making
    // the HBA and the backstore in it, the HBA is empty but not idle.
    CFileLock creating(m_strRun + kHbaLockName, false);
    if (creating.Held())
        ::rmdir(hba.c_str());  // only once it is empty
}

void CLioTarget::RemoveExports()
{
    for (const std::string& wwnDir : m_vecMadeWwns)
        RemoveLoopback(wwnDir);
    m_vecMadeWwns.clear();
}

void CLioTarget::RemoveAll()
{
    RemoveExports();
    Remove([this](int id) { return id == m_nId; });
}

void CLioTarget::RemoveLeftovers()
{
    // The locks of gone servers stay held until their leftovers are removed,
    // so that no new server takes their id meanwhile.
    std::map<int, std::unique_ptr<CServerLock>> verdicts;
    Remove([this, &verdicts](int id) {
        // Our own id proves nothing: a server in another mount namespace
        // may hold it under its own run directory.
        if (id < 0 || id == m_nId)
            return false;
        auto [it, fresh] = verdicts.try_emplace(id, nullptr);
        if (fresh) {
            auto lock = std::make_unique<CServerLock>();
            if (CServerLock::TakeIfGone(m_strRun, id, *lock))
                it->second = std::move(lock);
        }
        return it->second != nullptr;
    });
}

bool CLioTarget::CreateBackstore(int index, uint32_t commandTimeoutS, LioLun& lun, std::string& error)
{
    const std::string name = kBackstorePrefix + std::to_string(m_nId) + "_" + std::to_string(index);
    lun.index = index;
    lun.backstoreDir = Target(std::string("core/") + kHba + "/" + name);
    if (!UnderHbaLock(m_strRun, error, [&] {
            return MakeDir(Target(std::string("core/") + kHba), error) && MakeDir(lun.backstoreDir, error);
        }))
        return false;
    // The size only matters to block devices; the configuration string names
    // the device in the uio name, where the handler finds it.
    const std::string config = "kt3916/" + std::to_string(m_nId) + "/" + std::to_string(index);
    if (!WriteAttribute(lun.backstoreDir + "/control", "dev_size=1048576,dev_config=" + config, error) ||
        !WriteAttribute(lun.backstoreDir + "/attrib/cmd_time_out", std::to_string(commandTimeoutS), error) ||
        !WriteAttribute(lun.backstoreDir + "/enable", "1", error))
        return false;

    const std::string uioClass = m_strSys + "/class/uio";
    const std::string suffix = "/" + name + "/" + config;
    for (const std::string& uio : Entries(uioClass)) {
        const std::string uioName = ReadFirstLine(uioClass + "/" + uio + "/name");
        if (!StartsWith(uioName, "tcm-user/") || uioName.size() < suffix.size() ||
            uioName.compare(uioName.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        lun.uioDevice = m_strDev + "/" + uio;
        const std::string sizePath = uioClass + "/" + uio + "/maps/map0/size";
        const std::string size = ReadFirstLine(sizePath);
        char* end = nullptr;
        errno = 0;
        lun.mapSize = size.empty() ? 0 : std::strtoull(size.c_str(), &end, 16);
        if (lun.mapSize == 0 || errno != 0 || *end != '\0')
            return FailWith(error, "cannot read the command ring's size from " + sizePath + " ('" + size + "')");
        return true;
    }
    return FailWith(error, "the kernel made no uio device for backstore " + name);
}

bool CLioTarget::AttachLun(LioLun& lun, std::string& error)
{
    const int wwnIndex = lun.index + kPlaceStride * lun.place;
    lun.lunNumber = 0;
    lun.wwnDir = Target("loopback/") + Wwn(kTargetWwnPrefix, m_nId, wwnIndex);
    const std::string tpg = lun.wwnDir + "/tpgt_1";
    if (!MakeDir(Target("loopback"), error))
        return false;
    // A target of that name that is already there is another program's.
    if (::mkdir(lun.wwnDir.c_str(), 0755) != 0)
        return FailWith(error, ErrnoText("cannot create loopback target " + lun.wwnDir));
    m_vecMadeWwns.push_back(lun.wwnDir);
    // The nexus comes first: a LUN made before it is not scanned.
    return MakeDir(tpg, error) && WriteAttribute(tpg + "/nexus", Wwn(kInitiatorWwnPrefix, m_nId, wwnIndex), error) &&
           ExportLun(lun, 0, "", error);
}

bool CLioTarget::ExportLun(LioLun& lun, int number, const char* again, std::string& error)
{
    const std::string tpg = lun.wwnDir + "/tpgt_1";
    const std::string lunDir = tpg + "/lun/lun_" + std::to_string(number);
    if (!MakeDir(lunDir, error))
        return false;
    if (::symlink(lun.backstoreDir.c_str(), (lunDir + "/kt3916").c_str()) != 0)
        return FailWith(error, ErrnoText("cannot export " + lun.backstoreDir + again));
    const std::string address = ReadFirstLine(tpg + "/address");  // "host:0:target"
    if (address.empty())
        return FailWith(error, "the loopback target shows no SCSI address (" + tpg + "/address)");
    lun.lunNumber = number;
    lun.hctl = address + ":" + std::to_string(number);
    return true;
}

bool CLioTarget::WaitForNodes(LioLun& lun, uint32_t timeoutMs, std::string& error)
{
    const std::string device = m_strSys + "/bus/scsi/devices/" + lun.hctl;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const std::vector<std::string> block = Entries(device + "/block");
        const std::vector<std::string> generic = Entries(device + "/scsi_generic");
        if (!block.empty() && !generic.empty()) {
            lun.blockNode = m_strDev + "/" + block.front();
            lun.genericNode = m_strDev + "/" + generic.front();
            struct stat st {};
            if (::stat(lun.blockNode.c_str(), &st) == 0 && ::stat(lun.genericNode.c_str(), &st) == 0)
                return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return FailWith(error, "SCSI device " + lun.hctl + " got no CD-ROM and generic nodes within " +
                               std::to_string(timeoutMs / 1000) + " s");
}

bool CLioTarget::DetachLun(LioLun& lun, std::string& error)
{
    const std::string lunDir = lun.wwnDir + "/tpgt_1/lun/lun_" + std::to_string(lun.lunNumber);
    if (::unlink((lunDir + "/kt3916").c_str()) != 0 || ::rmdir(lunDir.c_str()) != 0)
        return FailWith(error, ErrnoText("cannot take " + lunDir + " off the bus"));
    return true;
}

bool CLioTarget::ReattachLun(LioLun& lun, bool elsewhere, std::string& error)
{
    if (elsewhere) {
        ++lun.place;
        return AttachLun(lun, error);
    }
    return ExportLun(lun, lun.lunNumber + 1, " again", error);
}
