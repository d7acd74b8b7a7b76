// The floor of a block transfer through the kernel: one process sends the
// same START STOP UNIT and block writes as the tool, one SG_IO each, straight
// from an image held in memory, and prints the milliseconds from before the
// first command to after the last. Nothing else is done: no checks, no
// events, no retries.
//
//   kt3916flash-sg-loop /dev/sgN IMAGE [START-AT-MS]
//
// With START-AT-MS (wall clock, milliseconds since the epoch) the first
// command waits for that moment, so that loops on several devices start
// together, and the start and stop on that clock follow the milliseconds.
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <fstream>
#include <iterator>
#include <vector>

#include "device/flash_device.h"
#include "form/block_plan.h"

namespace {

bool Send(int fd, const uint8_t* cdb, uint8_t cdbLength, const uint8_t* data, uint32_t length)
{
    sg_io_hdr_t io{};
    io.interface_id = 'S';
    io.cmd_len = cdbLength;
    io.cmdp = const_cast<uint8_t*>(cdb);
    io.dxfer_direction = length != 0 ? SG_DXFER_TO_DEV : SG_DXFER_NONE;
    io.dxferp = const_cast<uint8_t*>(data);
    io.dxfer_len = length;
    uint8_t sense[32];
    io.sbp = sense;
    io.mx_sb_len = sizeof sense;
    io.timeout = 20000;
    return ioctl(fd, SG_IO, &io) == 0 && io.status == 0 && io.host_status == 0 && io.driver_status == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: kt3916flash-sg-loop /dev/sgN IMAGE [START-AT-MS]\n");
        return 2;
    }
    std::ifstream in(argv[2], std::ios::binary);
    const std::vector<uint8_t> image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const BlockPlan* plan = FindBlockPlan(static_cast<int64_t>(image.size()));
    const int fd = open(argv[1], O_RDWR);
    if (plan == nullptr || fd < 0) {
        std::fprintf(stderr, "kt3916flash-sg-loop: no flashable image or no device\n");
        return 1;
    }
    uint32_t sum = 0;
    for (uint8_t byte : image)
        sum += byte;
    // The blocks as the tool sends them: whole ones, then the rest in a
    // block of the full length.
    std::vector<std::vector<uint8_t>> blocks(plan->blockCount, std::vector<uint8_t>(kBlockLength));
    for (uint32_t n = 0; n < plan->blockCount; ++n) {
        const std::size_t offset = std::size_t{n} * kBlockLength;
        const std::size_t length = n + 1 == plan->blockCount ? plan->finalBytes : kBlockLength;
        std::copy(image.begin() + offset, image.begin() + offset + length, blocks[n].begin());
    }

    using Wall = std::chrono::system_clock;
    if (argc == 4)
        std::this_thread::sleep_until(Wall::time_point(std::chrono::milliseconds(std::atoll(argv[3]))));
    const auto wallStart = Wall::now();
    const uint8_t eject[6] = {0x1B, 0, 0, 0, 0x02, 0};
    const auto start = std::chrono::steady_clock::now();
    bool ok = Send(fd, eject, sizeof eject, nullptr, 0);
    for (uint32_t n = 0; ok && n < plan->blockCount; ++n) {
        const bool final = n + 1 == plan->blockCount;
        const uint8_t cdb[12] = {0xFA,
                                 0,
                                 0,
                                 static_cast<uint8_t>(final ? 1 : 0),
                                 0,
                                 static_cast<uint8_t>(final    ? plan->finalMarker
                                                      : n == 0 ? 0x00
                                                               : 0xFF),
                                 static_cast<uint8_t>(final ? sum >> 8 : 0),
                                 static_cast<uint8_t>(final ? sum : 0),
                                 0,
                                 0,
                                 0,
                                 0};
        ok = Send(fd, cdb, sizeof cdb, blocks[n].data(), kBlockLength);
    }
    const auto stop = std::chrono::steady_clock::now();
    const auto wallStop = Wall::now();
    close(fd);
    if (!ok) {
        std::fprintf(stderr, "kt3916flash-sg-loop: a command failed\n");
        return 1;
    }
    const auto ms = [](auto duration) { return std::chrono::duration<double, std::milli>(duration).count(); };
    if (argc == 4) {
        std::printf("%.1f %.1f %.1f\n", ms(stop - start), ms(wallStart.time_since_epoch()),
                    ms(wallStop.time_since_epoch()));
    } else {
        std::printf("%.1f\n", ms(stop - start));
    }
    return 0;
}
