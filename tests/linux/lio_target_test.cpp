#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "emulator/lio_target.h"

namespace {

namespace fs = std::filesystem;

// A configfs, sysfs and run directory in a temporary folder: loopback targets
// are plain directories and their LUN links plain symlinks, which rmdir and
// unlink remove as the kernel's configfs does.
class CFakeTarget {
public:
    CFakeTarget()
    {
        char pattern[] = "/tmp/kt-lio-XXXXXX";
        const char* made = mkdtemp(pattern);
        m_root = made ? made : "/tmp/kt-lio-failed";
        fs::create_directories(Configfs() + "/target/loopback");
        fs::create_directories(Run());
    }
    ~CFakeTarget()
    {
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }

    std::string Root() const { return m_root; }
    std::string Configfs() const { return m_root + "/config"; }
    std::string Run() const { return m_root + "/run"; }
    std::string Core(const std::string& backstore) const { return Configfs() + "/target/core/" + backstore; }
    std::string Wwn(const std::string& wwn) const { return Configfs() + "/target/loopback/" + wwn; }

    // A loopback target with LUN 0 linked to a backstore (HBA/NAME).
    void AddTarget(const std::string& wwn, const std::string& backstore)
    {
        fs::create_directories(Core(backstore));
        fs::create_directories(Wwn(wwn) + "/tpgt_1/lun/lun_0");
        fs::create_directory_symlink(Core(backstore), Wwn(wwn) + "/tpgt_1/lun/lun_0/link");
    }
    // The lock file a server of this id left, or holds (returns the fd).
    int AddLock(int id, bool held) const
    {
        const int fd = ::open((Run() + "/" + std::to_string(id) + ".lock").c_str(), O_RDWR | O_CREAT, 0644);
        if (held)
            ::flock(fd, LOCK_EX);
        else
            ::close(fd);
        return held ? fd : -1;
    }

    CLioTarget Server(int id) const { return CLioTarget(id, Configfs(), m_root + "/sys", m_root + "/dev", Run()); }

private:
    std::string m_root;
};

// Start-up clean-up with one target of someone else's next to it; only what
// is provably ours and gone may go.
struct LeftoverCase {
    const char* name;
    const char* wwn;
    const char* backstore;
    int lock;  // 0 no lock file, 1 left by a dead server, 2 held by a live one
    bool removed;
};

const LeftoverCase kLeftovers[] = {
    // The family other tools generate their loopback WWNs in; 0xabcdef is no running process.
    {"another program's ramdisk", "naa.5001405abcdef012", "rd_mcp_1/disk0", 0, false},
    {"another program's ramdisk with a lock of our family", "naa.500140500004d000", "rd_mcp_1/disk0", 1, false},
    {"a dead server's device", "naa.500140500004d000", "user_3916/kt3916_77_0", 1, true},
    {"a live server, whatever its process is called", "naa.500140500004d000", "user_3916/kt3916_77_0", 2, false},
    {"a server of another run directory or namespace", "naa.500140500004d000", "user_3916/kt3916_77_0", 0, false},
    {"our backstore name in another HBA", "naa.500140500004d000", "user_9/kt3916_77_0", 1, false},
    {"a server of our own id under another run directory", "naa.5001405000064000", "user_3916/kt3916_100_0", 0, false},
    {"a server of our own id that left its lock here", "naa.5001405000064000", "user_3916/kt3916_100_0", 1, false},
};

TEST(LioTarget, LeftoversAreRemovedOnlyWhenProvablyOursAndGone)
{
    for (const LeftoverCase& c : kLeftovers) {
        SCOPED_TRACE(c.name);
        CFakeTarget fake;
        fake.AddTarget(c.wwn, c.backstore);
        const int owner = std::string(c.backstore).find("_100_") != std::string::npos ? 100 : 77;
        const int held = c.lock == 0 ? -1 : fake.AddLock(owner, c.lock == 2);
        // Another server runs meanwhile: its devices stay whatever happens to the others.
        const int neighbour = fake.AddLock(88, true);
        fake.AddTarget("naa.5001405000058000", "user_3916/kt3916_88_0");
        fake.Server(100).RemoveLeftovers();
        EXPECT_TRUE(fs::is_symlink(fake.Wwn("naa.5001405000058000") + "/tpgt_1/lun/lun_0/link"));
        EXPECT_TRUE(fs::exists(fake.Core("user_3916/kt3916_88_0")));
        ::close(neighbour);

        // configfs removes the lun group with its target; a plain folder keeps it, so look at the link.
        EXPECT_EQ(!fs::is_symlink(fake.Wwn(c.wwn) + "/tpgt_1/lun/lun_0/link"), c.removed);
        EXPECT_EQ(!fs::exists(fake.Core(c.backstore)), c.removed);
        if (c.lock == 2) {
            EXPECT_TRUE(fs::exists(fake.Run() + "/" + std::to_string(owner) + ".lock"));
            ::close(held);
        }
    }
}

TEST(LioTarget, TheSharedHbaStaysWhileAnotherServerCreatesInIt)
{
    CFakeTarget fake;
    fs::create_directories(fake.Core("user_3916"));
    const int creating = ::open((fake.Run() + "/hba.lock").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(::flock(creating, LOCK_EX), 0);
    fake.Server(100).RemoveAll();
    EXPECT_TRUE(fs::exists(fake.Core("user_3916")));
    ::close(creating);
    fake.Server(100).RemoveAll();
    EXPECT_FALSE(fs::exists(fake.Core("user_3916")));
}

TEST(LioTarget, AnExistingLoopbackTargetIsNeitherTakenOverNorRemoved)
{
    CFakeTarget fake;
    fake.AddTarget("naa.5001405000064000", "rd_mcp_1/disk0");
    CLioTarget server = fake.Server(100);
    LioLun lun;
    lun.backstoreDir = fake.Core("user_3916/kt3916_100_0");
    std::string error;
    EXPECT_FALSE(server.AttachLun(lun, error));
    EXPECT_NE(error.find("naa.5001405000064000"), std::string::npos) << error;
    server.RemoveAll();
    EXPECT_TRUE(fs::is_symlink(fake.Wwn("naa.5001405000064000") + "/tpgt_1/lun/lun_0/link"));
}

// A uio device whose ring size the kernel shows in a form we do not expect:
// a one-line error naming the file, not an exception.
TEST(LioTarget, AMissingOrMalformedRingSizeIsAnErrorNamingTheFile)
{
    for (const char* size : {"", "zz", "0x"}) {
        SCOPED_TRACE(std::string("size '") + size + "'");
        CFakeTarget fake;
        const std::string backstore = fake.Core("user_3916/kt3916_100_0");
        fs::create_directories(backstore + "/attrib");
        for (const char* attribute : {"/control", "/attrib/cmd_time_out", "/enable"})
            std::ofstream(backstore + attribute).put('\n');
        const std::string uio = fake.Root() + "/sys/class/uio/uio3";
        fs::create_directories(uio + "/maps/map0");
        std::ofstream(uio + "/name") << "tcm-user/1/kt3916_100_0/kt3916/100/0\n";
        if (*size != '\0')
            std::ofstream(uio + "/maps/map0/size") << size << "\n";

        LioLun lun;
        std::string error;
        bool created = true;
        EXPECT_NO_THROW(created = fake.Server(100).CreateBackstore(0, 5, lun, error));
        EXPECT_FALSE(created);
        EXPECT_NE(error.find(uio + "/maps/map0/size"), std::string::npos) << error;
    }
}

TEST(ServerLock, TakesTheNextIdWhenItsOwnIsHeldAndProvesTheHolderAlive)
{
    CFakeTarget fake;
    const int other = fake.AddLock(500, true);  // the same pid in another namespace
    std::string error;
    CServerLock lock;
    ASSERT_TRUE(lock.Acquire(fake.Run(), 500, error)) << error;
    EXPECT_EQ(lock.Id(), 501);
    CServerLock probe;
    EXPECT_FALSE(CServerLock::TakeIfGone(fake.Run(), 500, probe));
    EXPECT_FALSE(CServerLock::TakeIfGone(fake.Run(), 501, probe));
    ::close(other);
    EXPECT_TRUE(CServerLock::TakeIfGone(fake.Run(), 500, probe));
}

// Servers in other mount namespaces share configfs but not the run
// directory: an id their devices carry is never taken, whatever its lock says.
TEST(ServerLock, AnIdThatConfigfsShowsInUseIsNotTaken)
{
    CFakeTarget fake;
    fs::create_directories(fake.Core("user_3916/kt3916_500_0"));
    fs::create_directories(fake.Wwn("naa.50014050001f5000"));    // 501's WWN, another program's target
    fs::create_directories(fake.Core("rd_mcp_1/kt3916_502_0"));  // not our HBA: 502 is free
    std::string error;
    CServerLock lock;
    ASSERT_TRUE(AcquireServerId(lock, fake.Configfs(), fake.Run(), 500, error)) << error;
    EXPECT_EQ(lock.Id(), 502);
    // Any device of a server shows its id, not only its first.
    fs::create_directories(fake.Wwn("naa.50014050001f7002"));
    EXPECT_TRUE(ServerIdInUse(fake.Configfs(), 503));
}

// Only a backstore named kt3916_ID_N, both numbers in digits, carries a
// server id; other names in the HBA keep no id from being taken.
TEST(ServerLock, OnlyWellFormedBackstoreNamesCarryAnId)
{
    const struct {
        const char* name;
        bool carries;
    } cases[] = {
        {"kt3916_600_0", true},   {"kt3916_600_12", true},   {"kt3916_600_0x", false},      {"kt3916_600_", false},
        {"kt3916_6x0_0", false},  {"kt3916_600x_0", false},  {"kt3916__600_0", false},      {"kt3916_600", false},
        {"xkt3916_600_0", false}, {"kt3916_600_0_1", false}, {"kt3916_000000600_0", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CFakeTarget fake;
        fs::create_directories(fake.Core(std::string("user_3916/") + c.name));
        EXPECT_EQ(ServerIdInUse(fake.Configfs(), 600), c.carries);
    }
}

// modprobe runs as root: neither the caller's PATH nor its environment may
// decide what runs.
TEST(KernelModules, ModprobeRunsByAbsolutePathWithAFixedEnvironment)
{
    CFakeTarget fake;
    const std::string bin = fake.Root() + "/bin", record = fake.Root() + "/record";
    fs::create_directories(bin);
    const std::string script = "#!/bin/sh\necho \"$0 $KT_POISON $PATH\" >>" + record + "\n";
    for (const std::string& path : {bin + "/modprobe", fake.Root() + "/modprobe"}) {
        std::ofstream(path) << script;
        fs::permissions(path, fs::perms::owner_all);
    }
    const std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (bin + ":" + savedPath).c_str(), 1);
    ::setenv("KT_POISON", "poison", 1);
    const std::string missing = MissingKernelModule(fake.Root() + "/no-modules", fake.Root() + "/modprobe");
    ::setenv("PATH", savedPath.c_str(), 1);
    ::unsetenv("KT_POISON");

    EXPECT_NE(missing.find("target_core_mod"), std::string::npos) << missing;
    std::ifstream in(record);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, fake.Root() + "/modprobe  /usr/sbin:/usr/bin:/sbin:/bin");
}

}  // namespace
