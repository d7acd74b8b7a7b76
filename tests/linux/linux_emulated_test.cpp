#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/emulated/kt3916.h"
#include "device/emulated/scenario.h"
#include "device/flash_device.h"
#include "device/linux/sg_translate.h"
#include "run/exit_codes.h"
#include "tests/cli_test_support.h"
#include "tests/emulated_support.h"
#include "tests/linux/fake_kernel.h"
#include "tests/linux/fake_sysfs.h"
#include "tests/temp_image.h"

namespace {

// Emulated KT3916 devices behind the sg driver: the kernel side of the translation,
// turning each sg_io_hdr into a command for the model and its outcome back
// into the statuses and sense the sg driver reports.
class CEmulatedSgBench {
public:
    CEmulatedSgBench(const std::string& scenarioText, int devices)
    {
        std::string error;
        EXPECT_TRUE(ParseScenario(scenarioText, m_scenario, error)) << error;
        for (int i = 0; i < devices; ++i) {
            const std::string sr = "sr" + std::to_string(i);
            const std::string sg = "sg" + std::to_string(i + 1);
            tree.Add({.hctl = std::to_string(i + 1) + ":0:0:0", .type = 5, .block = sr, .generic = sg});
            m_devices[tree.Dev() + "/" + sg] = std::make_unique<EmulatedKt3916>(m_scenario, clock);
        }
        // A disk on the same bus, never to be touched.
        tree.Add({.hctl = "0:0:0:0", .type = 0, .block = "sda", .generic = "sg0"});
        kernel.onSgIo = [this](int fd, sg_io_hdr_t& h) { return Execute(fd, h); };
        host = std::make_unique<CLinuxHost>(LinuxHostConfig{tree.Sys(), tree.Dev(), &kernel});
    }

    EmulatedKt3916& Device(int index) { return *m_devices.at(tree.Dev() + "/sg" + std::to_string(index + 1)); }

    CFakeSysfs tree;
    CFakeKernel kernel;
    ManualClock clock;
    std::unique_ptr<CLinuxHost> host;
    std::vector<sg_io_hdr_t> headers;  // as the kernel received them
    std::vector<uint8_t> opcodes;      // their CDB byte 0 (cmdp points at a reused request)
    std::vector<std::string> nodes;    // the node of each
    std::vector<bool> alone;           // and whether it came through the node's exclusive open

private:
    int Execute(int fd, sg_io_hdr_t& h)
    {
        headers.push_back(h);
        opcodes.push_back(h.cmdp ? h.cmdp[0] : 0);
        const std::string node = kernel.fdPaths.at(fd);
        nodes.push_back(node);
        alone.push_back(kernel.exclusiveFds.count(node) != 0 && kernel.exclusiveFds.at(node) == fd);
        if (h.interface_id != 'S' || h.cmd_len != 12 || !h.cmdp || !h.sbp)
            return -EINVAL;
        const bool dataIn = h.dxfer_direction == SG_DXFER_FROM_DEV;
        const ScsiOutcome outcome =
            m_devices.at(node)->Execute(h.cmdp, dataIn, static_cast<uint8_t*>(h.dxferp), h.dxfer_len);
        h.status = 0;
        h.host_status = 0;
        h.driver_status = 0;
        h.sb_len_wr = 0;
        if (outcome.result == CommandResult::Check) {
            uint8_t sense[kFixedSenseLength];
            FixedSense(outcome, sense, sizeof sense);
            h.status = 0x02;
            h.driver_status = kSgDriverSense;
            h.sb_len_wr = static_cast<uint8_t>(std::min<size_t>(sizeof sense, h.mx_sb_len));
            std::memcpy(h.sbp, sense, h.sb_len_wr);
        } else if (outcome.result == CommandResult::Lost) {
            h.host_status = 0x01;  // DID_NO_CONNECT: the device is not there (rebooting)
        }
        return 0;
    }

    EmulatorScenario m_scenario;
    std::map<std::string, std::unique_ptr<EmulatedKt3916>> m_devices;
};

}  // namespace

TEST(LinuxEmulated, TheWholeToolFlashesThroughSgIo)
{
    CEmulatedSgBench bench("", 2);
    const auto bytes = PatternImage(524288, 21);
    TempImage image(bytes);
    const auto run = cli_test::RunTool({"flash", image.Path(), "--device", bench.tree.Dev() + "/sr1", "--json"},
                                       bench.host.get(), &bench.clock);
    ASSERT_EQ(run.exit, kExitSuccess) << run.err << run.out;
    EXPECT_EQ(Probe(bench.Device(1)).LastImage(), bytes);
    EXPECT_EQ(std::string(Probe(bench.Device(1)).Revision()), "1.10");
    EXPECT_EQ(Probe(bench.Device(0)).BlockWrites(), 0u) << "the other drive saw no block";
    EXPECT_NE(run.out.find("\"node\":\"" + bench.tree.Dev() + "/sg2\""), std::string::npos) << run.out;

    int writes = 0;
    int inquiriesOnE = 0;
    for (size_t i = 0; i < bench.headers.size(); ++i) {
        const sg_io_hdr_t& h = bench.headers[i];
        EXPECT_EQ(h.mx_sb_len, 32);
        if (bench.opcodes[i] == 0xFA) {
            ++writes;
            EXPECT_EQ(bench.nodes[i], bench.tree.Dev() + "/sg2");
            EXPECT_EQ(h.dxfer_direction, SG_DXFER_TO_DEV);
            EXPECT_EQ(h.dxfer_len, kBlockLength);
            EXPECT_EQ(h.timeout, 30000u);
        } else if (bench.opcodes[i] == 0x12) {
            EXPECT_EQ(h.dxfer_direction, SG_DXFER_FROM_DEV);
            inquiriesOnE += bench.nodes[i] == bench.tree.Dev() + "/sg2";
        }
        EXPECT_NE(bench.nodes[i], bench.tree.Dev() + "/sg0") << "never the disk";
    }
    EXPECT_EQ(writes, 9);
    EXPECT_GE(inquiriesOnE, 2) << "the survey, and the verification until the device answered";
    EXPECT_EQ(bench.kernel.closed.size(), bench.kernel.opened.size()) << "every node closed again";
}

// A stop signal or a tracer ends the wait for each answer; every block still
// reaches the device once.
TEST(LinuxEmulated, InterruptedWaitsSendEachBlockOnce)
{
    CEmulatedSgBench bench("", 1);
    bench.kernel.interruptsPerCommand = 2;
    const auto bytes = PatternImage(524288, 26);
    TempImage image(bytes);
    const auto run = cli_test::RunTool({"flash", image.Path()}, bench.host.get(), &bench.clock);
    ASSERT_EQ(run.exit, kExitSuccess) << run.err << run.out;
    EXPECT_EQ(Probe(bench.Device(0)).BlockWrites(), 9u);
    EXPECT_EQ(Probe(bench.Device(0)).LastImage(), bytes);
    EXPECT_EQ(bench.kernel.receives, 3 * bench.kernel.submits) << "every wait was interrupted twice";
}

TEST(LinuxEmulated, DeviceStatusesComeBackAsTheTransportExpects)
{
    struct Case {
        const char* scenario;
        int exit;
        uint8_t senseKey, asc;
    } cases[] = {
        {"fail_block=2,sense=03/0c/00", kExitSendFailure, 0x03, 0x0C},
        {"never_return=1", kExitNoReturn, 0, 0},
    };
    for (const Case& c : cases) {
        CEmulatedSgBench bench(c.scenario, 1);
        TempImage image(PatternImage(524288, 22));
        const auto run = cli_test::RunTool({"flash", image.Path()}, bench.host.get(), &bench.clock);
        EXPECT_EQ(run.exit, c.exit) << c.scenario << run.err;
    }

    // The sense of a CHECK CONDITION reaches the device object.
    CEmulatedSgBench bench("", 1);
    CFlashDevice device(*bench.host);
    ASSERT_EQ(device.GetDeviceCount(), 1);
    EXPECT_NE(device.WriteBlock(0, 0, 0x00), CommandResult::Good) << "a block write outside download mode";
    EXPECT_EQ(device.GetRequest().sptd.ScsiStatus, 0x02);
    EXPECT_EQ(device.GetSenseKey(), 0x05);
    EXPECT_NE(device.GetAsc(), 0x00);
    EXPECT_EQ(device.Inquiry(), CommandResult::Good);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(device.GetDataBuffer()) + 8, 5), "KTDEV");
}

TEST(LinuxEmulated, ListShowsNodesAndWhyADriveCouldNotBeOpened)
{
    CEmulatedSgBench bench("", 2);
    bench.kernel.openErrors[bench.tree.Dev() + "/sg2"] = EACCES;
    bench.kernel.group = "cdrom";
    const auto run = cli_test::RunTool({"list"}, bench.host.get(), &bench.clock);
    EXPECT_EQ(run.exit, kExitSuccess);
    EXPECT_NE(run.out.find("0      D:     " + bench.tree.Dev() + "/sg1"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("E:"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("kt3916flash-cli: E: cannot open " + bench.tree.Dev() +
                           "/sg2 read-write: Permission denied; add your user to the 'cdrom' group"),
              std::string::npos)
        << run.err;

    TempImage image(PatternImage(524288, 23));
    const auto flash = cli_test::RunTool({"flash", image.Path(), "--device", "E"}, bench.host.get(), &bench.clock);
    EXPECT_EQ(flash.exit, kExitNoDevice);
    EXPECT_NE(flash.err.find("no device at drive E: cannot open " + bench.tree.Dev() + "/sg2 read-write"),
              std::string::npos)
        << flash.err;
    EXPECT_EQ(Probe(bench.Device(1)).BlockWrites(), 0u);
}

TEST(LinuxEmulated, AFlashSendsThroughItsExclusiveOpenAndListOpensShared)
{
    CEmulatedSgBench bench("reboot_ms=0", 2);
    const std::string sg2 = bench.tree.Dev() + "/sg2";
    TempImage image(PatternImage(524288, 24));
    const auto flash = cli_test::RunTool({"flash", image.Path(), "--device", "E"}, bench.host.get(), &bench.clock);
    ASSERT_EQ(flash.exit, kExitSuccess) << flash.err;
    for (size_t i = 0; i < bench.nodes.size(); ++i) {
        EXPECT_TRUE(bench.nodes[i] != sg2 || bench.alone[i]) << "command " << i << " went out through a shared open";
    }
    EXPECT_TRUE(bench.kernel.exclusiveFds.empty()) << "given back at the end";
    const size_t opensBefore = bench.kernel.openFlags.size();
    EXPECT_EQ(cli_test::RunTool({"list"}, bench.host.get(), &bench.clock).exit, kExitSuccess);
    for (size_t i = opensBefore; i < bench.kernel.openFlags.size(); ++i) {
        EXPECT_FALSE(bench.kernel.openFlags[i] & O_EXCL) << "list leaves the nodes open to others";
    }
}

TEST(LinuxEmulated, ADeviceAnotherProgramHasIsBusyAndGetsNothing)
{
    struct Case {
        int devices;
        int otherFlags;  // how the other program has the last device's node open
        std::vector<std::string> choice;
    };
    for (const Case& c : {Case{2, O_RDWR | O_EXCL, {"--device", "E:"}}, Case{1, O_RDWR, {}}}) {
        SCOPED_TRACE(c.devices);
        CEmulatedSgBench bench("", c.devices);
        const std::string node = bench.tree.Dev() + "/sg" + std::to_string(c.devices);
        bench.kernel.Open(node.c_str(), c.otherFlags);
        TempImage image(PatternImage(524288, 25));
        std::vector<std::string> args = {"flash", image.Path()};
        args.insert(args.end(), c.choice.begin(), c.choice.end());
        const auto run = cli_test::RunTool(args, bench.host.get(), &bench.clock);
        EXPECT_EQ(run.exit, kExitDeviceBusy) << run.err;
        const std::string drive(1, static_cast<char>('C' + c.devices));
        EXPECT_NE(run.err.find(drive + ": device busy: in use by another program (" + node + ")"), std::string::npos)
            << run.err;
        EXPECT_EQ(std::count(bench.nodes.begin(), bench.nodes.end(), node), 0) << "nothing was sent to it";
    }
}
