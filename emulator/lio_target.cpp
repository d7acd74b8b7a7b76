#include "emulator/lio_target.h"

#include <dirent.h>
#include <fcntl.h>
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
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr const char* kHba = "user_3916";
constexpr const char* kBackstorePrefix = "kt3916_";
constexpr const char* kTargetWwnPrefix = "naa.5001405";
constexpr const char* kInitiatorWwnPrefix = "naa.5001406";
constexpr const char* kServerName = "kt3916flash-emulator";

std::string ErrnoText(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

bool WriteAttribute(const std::string& path, const std::string& value, std::string& error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        error = ErrnoText("cannot open " + path);
        return false;
    }
    const ssize_t written = ::write(fd, value.data(), value.size());
    const int saved = errno;
    ::close(fd);
    if (written != static_cast<ssize_t>(value.size())) {
        errno = written < 0 ? saved : EIO;
        error = ErrnoText("cannot write '" + value + "' to " + path);
        return false;
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
    error = ErrnoText("cannot create " + path);
    return false;
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

// The server process id in one of our names, or -1.
int PidOfWwn(const std::string& name)
{
    const std::size_t prefix = std::strlen(kTargetWwnPrefix);
    if (name.size() != prefix + 9 || !StartsWith(name, kTargetWwnPrefix))
        return -1;
    return static_cast<int>(std::strtol(name.substr(prefix, 6).c_str(), nullptr, 16));
}

int PidOfBackstore(const std::string& name)
{
    if (!StartsWith(name, kBackstorePrefix))
        return -1;
    return std::atoi(name.c_str() + std::strlen(kBackstorePrefix));
}

bool ModuleLoaded(const char* name)
{
    struct stat st {};
    return ::stat((std::string("/sys/module/") + name).c_str(), &st) == 0;
}

void Modprobe(const char* name)
{
    pid_t pid = 0;
    char program[] = "modprobe";
    char quiet[] = "-q";
    std::string module = name;
    char* argv[] = {program, quiet, module.data(), nullptr};
    if (::posix_spawnp(&pid, program, nullptr, nullptr, argv, environ) == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
}

}  // namespace

std::string MissingKernelModule()
{
    // The target core, its loopback fabric and user backstore; the CD-ROM and
    // generic SCSI drivers give the device its nodes.
    static constexpr const char* kModules[] = {"target_core_mod", "target_core_user", "tcm_loop", "sr_mod", "sg"};
    for (const char* module : kModules) {
        if (!ModuleLoaded(module))
            Modprobe(module);
        if (!ModuleLoaded(module)) {
            return std::string("kernel module ") + module + " is missing and could not be loaded (modprobe " +
                   module + "); it comes with the kernel image (Debian package linux-image-amd64)";
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

CLioTarget::CLioTarget(int pid, std::string configfsRoot, std::string sysRoot, std::string devRoot,
                       std::string procRoot)
    : m_nPid(pid),
      m_strConfigfs(std::move(configfsRoot)),
      m_strSys(std::move(sysRoot)),
      m_strDev(std::move(devRoot)),
      m_strProc(std::move(procRoot))
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

template <typename Owned>
void CLioTarget::Remove(Owned owned, bool backstores) const
{
    const std::string loopback = Target("loopback");
    for (const std::string& wwn : Entries(loopback)) {
        if (owned(PidOfWwn(wwn)))
            RemoveLoopback(loopback + "/" + wwn);
    }
    if (!backstores)
        return;
    const std::string hba = Target(std::string("core/") + kHba);
    for (const std::string& name : Entries(hba)) {
        if (owned(PidOfBackstore(name)))
            ::rmdir((hba + "/" + name).c_str());
    }
    ::rmdir(hba.c_str());  // only once it is empty
}

bool CLioTarget::ServerRunning(int pid) const
{
    // A live process of another program that took the number over does not
    // keep a dead server's devices.
    return ReadFirstLine(m_strProc + "/" + std::to_string(pid) + "/comm") ==
           std::string(kServerName).substr(0, 15);
}

void CLioTarget::RemoveExports()
{
    Remove([this](int pid) { return pid == m_nPid; }, false);
}

void CLioTarget::RemoveAll()
{
    Remove([this](int pid) { return pid == m_nPid; }, true);
}

void CLioTarget::RemoveLeftovers()
{
    Remove([this](int pid) { return pid >= 0 && pid != m_nPid && !ServerRunning(pid); }, true);
}

bool CLioTarget::CreateBackstore(int index, uint32_t commandTimeoutS, LioLun& lun, std::string& error)
{
    const std::string name = kBackstorePrefix + std::to_string(m_nPid) + "_" + std::to_string(index);
    lun.index = index;
    lun.backstoreDir = Target(std::string("core/") + kHba + "/" + name);
    if (!MakeDir(Target(std::string("core/") + kHba), error) || !MakeDir(lun.backstoreDir, error))
        return false;
    // The size only matters to block devices; the configuration string names
    // the device in the uio name, where the handler finds it.
    const std::string config = "kt3916/" + std::to_string(m_nPid) + "/" + std::to_string(index);
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
        lun.mapSize = std::stoul(ReadFirstLine(uioClass + "/" + uio + "/maps/map0/size"), nullptr, 16);
        return true;
    }
    error = "the kernel made no uio device for backstore " + name;
    return false;
}

bool CLioTarget::AttachLun(LioLun& lun, std::string& error)
{
    lun.wwnDir = Target("loopback/") + Wwn(kTargetWwnPrefix, m_nPid, lun.index);
    const std::string tpg = lun.wwnDir + "/tpgt_1";
    const std::string lunDir = tpg + "/lun/lun_0";
    // The nexus comes first: a LUN made before it is not scanned.
    if (!MakeDir(Target("loopback"), error) || !MakeDir(lun.wwnDir, error) || !MakeDir(tpg, error) ||
        !WriteAttribute(tpg + "/nexus", Wwn(kInitiatorWwnPrefix, m_nPid, lun.index), error) || !MakeDir(lunDir, error))
        return false;
    if (::symlink(lun.backstoreDir.c_str(), (lunDir + "/kt3916").c_str()) != 0) {
        error = ErrnoText("cannot export " + lun.backstoreDir);
        return false;
    }
    const std::string address = ReadFirstLine(tpg + "/address");  // "host:0:target"
    if (address.empty()) {
        error = "the loopback target shows no SCSI address (" + tpg + "/address)";
        return false;
    }
    lun.hctl = address + ":0";
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
    error = "SCSI device " + lun.hctl + " got no CD-ROM and generic nodes within " +
            std::to_string(timeoutMs / 1000) + " s";
    return false;
}
