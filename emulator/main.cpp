// kt3916flash-emulator: the emulated KT3916 served as a real SCSI device
// through the kernel's SCSI target, so that every program on the machine
// (the flash tool, sg3_utils, Wine) reaches it through the kernel's own
// CD-ROM and generic drivers.
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/output_file.h"
#include "device/emulated/scenario.h"
#include "emulator/lio_target.h"
#include "emulator/served_device.h"
#include "emulator/tcmu_ring.h"
#include "res/app_name.h"

namespace {

constexpr int kExitStopped = 0;
constexpr int kExitKernelRefused = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNotRoot = 3;
constexpr int kExitModuleMissing = 4;
constexpr int kExitNoConfigfs = 5;

constexpr const char* kUsage = "usage: kt3916flash-emulator serve [--scenario TEXT] [--transcript FILE]\n"
                               "\n"
                               "Serves emulated KT3916 devices as SCSI CD-ROM devices of this machine\n"
                               "(/dev/srN, /dev/sgN) through the kernel's SCSI target (tcm_loop fabric,\n"
                               "user backstore), until SIGINT or SIGTERM; then removes them again.\n"
                               "Needs root. Prints one line per device when all are ready:\n"
                               "  DRIVE: BLOCK-NODE GENERIC-NODE HOST:CHANNEL:TARGET:LUN\n"
                               "\n"
                               "  --scenario TEXT    the emulator's key=value,... text, as kt3916flash-cli\n"
                               "                     --emulate takes it (devices=N serves N devices)\n"
                               "  --transcript FILE  append every command the devices receive, one JSON\n"
                               "                     object per line\n"
                               "  -h, --help         this help;  -V, --version  the version\n"
                               "\n"
                               "Exit codes: 0 stopped by a signal, 1 the kernel refused the configuration\n"
                               "or the transcript could not be written, 2 usage error or bad scenario,\n"
                               "3 not root, 4 a kernel module is missing, 5 configfs is not mounted.\n";

constexpr uint32_t kNodeWaitMs = 30000;

int Fail(int code, const std::string& text)
{
    std::fprintf(stderr, "kt3916flash-emulator: %s\n", text.c_str());
    return code;
}

// The uio mapping of one backstore and its device's serving thread.
struct Served {
    LioLun lun;
    int uioFd = -1;
    uint8_t* map = nullptr;
    std::unique_ptr<CTcmuRing> ring;
    std::unique_ptr<CServedDevice> device;
    std::thread thread;
};

void ServeLoop(Served& served, int stopFd)
{
    pollfd fds[2] = {{served.uioFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        if (served.device->ServeQueued(*served.ring)) {
            const uint32_t kick = 0;
            if (::write(served.uioFd, &kick, sizeof kick) != sizeof kick)
                std::perror("kt3916flash-emulator: cannot notify the kernel");
        }
        // Latencies and held commands end by the clock, not by a kernel event.
        if (::poll(fds, 2, served.device->WaitMs()) < 0 && errno != EINTR)
            return;
        if (fds[1].revents != 0)
            return;
        if ((fds[0].revents & POLLIN) != 0) {
            uint32_t events = 0;
            if (::read(served.uioFd, &events, sizeof events) < 0 && errno != EINTR)
                return;
        }
    }
}

bool MapRing(Served& served, std::string& error)
{
    served.uioFd = ::open(served.lun.uioDevice.c_str(), O_RDWR | O_CLOEXEC);
    if (served.uioFd < 0) {
        error = "cannot open " + served.lun.uioDevice + ": " + std::strerror(errno);
        return false;
    }
    void* map = ::mmap(nullptr, served.lun.mapSize, PROT_READ | PROT_WRITE, MAP_SHARED, served.uioFd, 0);
    if (map == MAP_FAILED) {
        error = "cannot map " + served.lun.uioDevice + ": " + std::strerror(errno);
        return false;
    }
    served.map = static_cast<uint8_t*>(map);
    served.ring = std::make_unique<CTcmuRing>(served.map, served.lun.mapSize);
    if (!served.ring->Valid()) {
        error = served.lun.uioDevice + " is not a command ring this program knows";
        return false;
    }
    return true;
}

// replug_ms: a unit leaves the bus when its restart begins and comes back
// under a new LUN (or, replug_elsewhere, a new target), as one on a USB
// bridge re-enumerates. It leaves kLeaveAfterAnswerMs after it took its
// final block, as a unit drops off once its firmware resets: a LUN taken
// away at once could take the final block's answer with it while the kernel
// is still delivering it. Runs beside the serving threads, which answer what
// the kernel sends while a LUN goes and comes.
constexpr auto kLeaveAfterAnswerMs = std::chrono::milliseconds(250);

void FollowReplugs(CLioTarget& target, std::vector<std::unique_ptr<Served>>& devices, bool elsewhere,
                   const std::atomic<bool>& stop)
{
    using Clock = std::chrono::steady_clock;
    std::vector<bool> away(devices.size(), false);
    std::vector<Clock::time_point> leavingSince(devices.size());
    while (!stop) {
        for (std::size_t i = 0; i < devices.size(); ++i) {
            Served& served = *devices[i];
            const bool offBus = served.device->OffTheBus();
            if (offBus == away[i]) {
                leavingSince[i] = {};
                continue;
            }
            if (offBus && leavingSince[i] == Clock::time_point{})
                leavingSince[i] = Clock::now();
            if (offBus && Clock::now() - leavingSince[i] < kLeaveAfterAnswerMs)
                continue;
            std::string error;
            const char drive = static_cast<char>('D' + served.lun.index);
            if (offBus) {
                if (!target.DetachLun(served.lun, error))
                    std::fprintf(stderr, "kt3916flash-emulator: device %c: %s\n", drive, error.c_str());
                else
                    std::fprintf(stderr, "kt3916flash-emulator: device %c left the bus (%s)\n", drive,
                                 served.lun.hctl.c_str());
            } else if (target.ReattachLun(served.lun, elsewhere, error) &&
                       target.WaitForNodes(served.lun, kNodeWaitMs, error)) {
                std::fprintf(stderr, "kt3916flash-emulator: device %c is back: %s %s %s\n", drive,
                             served.lun.blockNode.c_str(), served.lun.genericNode.c_str(), served.lun.hctl.c_str());
            } else {
                std::fprintf(stderr, "kt3916flash-emulator: device %c cannot come back: %s\n", drive, error.c_str());
            }
            away[i] = offBus;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void StopServing(std::vector<std::unique_ptr<Served>>& devices, int stopFd)
{
    const uint64_t one = 1;
    if (::write(stopFd, &one, sizeof one) != sizeof one)
        std::perror("kt3916flash-emulator: cannot stop the device threads");
    for (auto& served : devices) {
        if (served->thread.joinable())
            served->thread.join();
        if (served->map != nullptr)
            ::munmap(served->map, served->lun.mapSize);
        if (served->uioFd >= 0)
            ::close(served->uioFd);
    }
}

int Serve(const EmulatorScenario& scenario, const std::string& transcriptPath)
{
    if (::geteuid() != 0)
        return Fail(kExitNotRoot, "serve must run as root: it configures the kernel's SCSI target");
    const std::string missing = MissingKernelModule();
    if (!missing.empty())
        return Fail(kExitModuleMissing, missing);
    if (!ConfigfsMounted())
        return Fail(kExitNoConfigfs,
                    "configfs is not mounted at /sys/kernel/config: mount -t configfs none /sys/kernel/config");

    COutputFile transcriptFile;
    if (!transcriptPath.empty() && !transcriptFile.Open(transcriptPath))
        return Fail(kExitKernelRefused, "cannot open transcript " + transcriptPath + ": " + transcriptFile.ErrorText());
    CServedTranscript transcript(transcriptFile);

    // The signals wait until the configuration is complete or undone: a stop
    // request never leaves half a device behind.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    CServerLock lock;
    std::string error;
    if (!AcquireServerId(lock, "/sys/kernel/config", CLioTarget::kServerRunDir, ::getpid(), error))
        return Fail(kExitKernelRefused, error);
    const int stopFd = ::eventfd(0, EFD_CLOEXEC);
    if (stopFd < 0)
        return Fail(kExitKernelRefused, std::string("cannot create an eventfd: ") + std::strerror(errno));
    CLioTarget target(lock.Id());
    target.RemoveLeftovers();

    SystemClock clock;
    // A command that gets no answer (drop_block) ends after this, well before
    // the initiator's own time-out, with the latency still served in time.
    const uint32_t commandTimeoutS = 5 + scenario.latencyMs / 1000;
    // Well past the kernel's timer, so the kernel has ended a dropped command
    // before its entry is given back.
    const uint64_t releaseMs = (commandTimeoutS + 3) * 1000ull;
    std::vector<std::unique_ptr<Served>> devices;
    bool ok = true;
    for (int i = 0; ok && i < scenario.devices; ++i) {
        auto served = std::make_unique<Served>();
        ok = target.CreateBackstore(i, commandTimeoutS, served->lun, error) && MapRing(*served, error);
        if (ok) {
            served->device = std::make_unique<CServedDevice>(scenario, clock, 0, static_cast<char>('D' + i),
                                                             transcriptFile.IsOpen() ? &transcript : nullptr, releaseMs,
                                                             commandTimeoutS * 1000ull);
            served->thread = std::thread([device = served.get(), stopFd] { ServeLoop(*device, stopFd); });
            ok = target.AttachLun(served->lun, error) && target.WaitForNodes(served->lun, kNodeWaitMs, error);
        }
        devices.push_back(std::move(served));
    }
    int exitCode = kExitStopped;
    if (ok) {
        for (const auto& served : devices) {
            std::printf("%c: %s %s %s\n", 'D' + served->lun.index, served->lun.blockNode.c_str(),
                        served->lun.genericNode.c_str(), served->lun.hctl.c_str());
        }
        std::fflush(stdout);
        std::fprintf(stderr, "kt3916flash-emulator: serving %d device%s; stop with Ctrl-C\n", scenario.devices,
                     scenario.devices == 1 ? "" : "s");
        std::atomic<bool> stopReplugs{false};
        std::thread replugs;
        if (scenario.replugMs)
            replugs = std::thread([&] { FollowReplugs(target, devices, scenario.replugElsewhere, stopReplugs); });
        int signal = 0;
        sigwait(&stopSignals, &signal);
        stopReplugs = true;
        if (replugs.joinable())
            replugs.join();
    } else {
        exitCode = Fail(kExitKernelRefused, error);
    }

    target.RemoveExports();
    StopServing(devices, stopFd);
    target.RemoveAll();
    ::close(stopFd);
    // On the disk before the end (Close syncs): a power cut must not take the
    // last lines.
    if (!transcriptFile.Close() && exitCode == kExitStopped)
        exitCode = Fail(kExitKernelRefused, "the transcript " + transcriptPath + " could not be written");
    if (exitCode == kExitStopped)
        std::fprintf(stderr, "kt3916flash-emulator: stopped; the devices are removed\n");
    return exitCode;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string command, scenarioText, transcriptPath;
    bool haveScenario = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return kExitStopped;
        }
        if (arg == "-V" || arg == "--version") {
            std::printf("kt3916flash-emulator %s\n", KT_APP_VERSION_TEXT);
            return kExitStopped;
        }
        const bool scenarioOption = arg == "--scenario", transcriptOption = arg == "--transcript";
        if (scenarioOption || transcriptOption) {
            std::string& value = scenarioOption ? scenarioText : transcriptPath;
            if (i + 1 >= argc || (argv[i + 1][0] == '-' && argv[i + 1][1] != '\0'))
                return Fail(kExitUsage, arg + " needs a value\n" + kUsage);
            if ((scenarioOption && haveScenario) || (transcriptOption && !transcriptPath.empty()))
                return Fail(kExitUsage, arg + " given twice");
            value = argv[++i];
            haveScenario = haveScenario || scenarioOption;
            if (transcriptOption && value.empty())
                return Fail(kExitUsage, "--transcript needs a file name");
        } else if (command.empty() && arg == "serve") {
            command = arg;
        } else {
            return Fail(kExitUsage, "unexpected argument '" + arg + "'\n" + kUsage);
        }
    }
    if (command.empty())
        return Fail(kExitUsage, std::string("no command\n") + kUsage);

    EmulatorScenario scenario;
    std::string error;
    if (!ParseScenario(scenarioText, scenario, error))
        return Fail(kExitUsage, "bad scenario: " + error);
    if (scenario.win9x)
        return Fail(kExitUsage, "bad scenario: win9x describes a Windows 9x host, not a device; it cannot be served");
    if (scenario.devices < 1)
        return Fail(kExitUsage, "bad scenario: devices must be at least 1 to serve");
    if (!scenario.plugEvents.empty())
        return Fail(kExitUsage, "bad scenario: plug is for the in-process emulator; a served device comes and goes "
                                "with its server (start one, stop it with SIGTERM)");
    return Serve(scenario, transcriptPath);
}
