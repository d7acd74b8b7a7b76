// The block transfer's host-side cost, next to the floor of just reading the
// image, and the heap allocations of one command on each host.
#include <benchmark/benchmark.h>

#include <vector>

#include "app/options.h"
#include "base/input_file.h"
#include "base/sha256.h"
#include "bench/alloc_counter.h"
#include "bench/bench_support.h"
#include "device/emulated/emulated_host.h"
#include "device/flash_device.h"
#include "form/flash_view.h"
#include "run/windowless_form.h"

namespace {

constexpr uint64_t kImage1M = 1048576;

// The form's DownloadImage of a 1 MiB image: START STOP UNIT and 18 block
// writes, each block read from the file into the device's data buffer,
// against an emulated device with no latency that restarts at once.
void BM_BlockTransfer1M(benchmark::State& state)
{
    CBenchFile image("transfer-1m.bin", kImage1M);
    ManualClock clock;
    EmulatorScenario scenario;
    scenario.rebootMs = 0;
    EmulatedHost host(scenario, clock);
    g_strImagePath = image.Path();
    g_strDriveSpec = "D:";
    g_bAutoFlash = 0;
    FlashRecord record;
    CWindowlessForm window(clock, record, nullptr, nullptr);
    CFlashView view(window, host);
    view.OnInitialUpdate();
    for (auto _ : state) {
        if (!view.DownloadImage()) {
            state.SkipWithError("the transfer failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kImage1M));
    state.counters["blocks"] = 18;
}
BENCHMARK(BM_BlockTransfer1M)->Unit(benchmark::kMicrosecond);

// SHA-256 of 1 MiB, as the image check takes it (libcrypto: the bench is
// built on Linux only).
void BM_Sha256Of1M(benchmark::State& state)
{
    std::vector<uint8_t> data(kImage1M, 0x5A);
    uint8_t digest[32];
    for (auto _ : state) {
        CSha256 hash;
        hash.Update(data.data(), data.size());
        hash.Final(digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kImage1M));
}
BENCHMARK(BM_Sha256Of1M)->Unit(benchmark::kMicrosecond);

// The floor: the same reads of the same file into a buffer of the same
// size, and nothing else.
void BM_ReadImageFloor1M(benchmark::State& state)
{
    CBenchFile image("floor-1m.bin", kImage1M);
    std::vector<uint8_t> buffer(kDataBufferSize);
    for (auto _ : state) {
        CInputFile file;
        if (!file.Open(image.Path())) {
            state.SkipWithError("cannot open the image");
            break;
        }
        for (int block = 0; block < 18; ++block) {
            benchmark::DoNotOptimize(file.Read(buffer.data(), block == 17 ? 8192 : kBlockLength));
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kImage1M));
}
BENCHMARK(BM_ReadImageFloor1M)->Unit(benchmark::kMicrosecond);

enum Command {
    kInquiry,
    kWriteBlock
};

void RunCommands(benchmark::State& state, CFlashDevice& device)
{
    const Command command = static_cast<Command>(state.range(0));
    device.StartStopUnit(2);
    uint64_t allocations = 0;
    for (auto _ : state) {
        const uint64_t before = AllocationCount();
        // A middle block: accepted again and again without ending an image.
        const bool ok = command == kInquiry ? device.Inquiry() == CommandResult::Good
                                            : device.WriteBlock(0, 0, 0xFF) == CommandResult::Good;
        allocations += AllocationCount() - before;
        benchmark::DoNotOptimize(ok);
    }
    state.counters["allocs_per_cmd"] =
        benchmark::Counter(static_cast<double>(allocations) / static_cast<double>(state.iterations()));
    state.SetLabel(command == kInquiry ? "INQUIRY" : "block write");
}

void BM_CommandOnEmulatedHost(benchmark::State& state)
{
    ManualClock clock;
    EmulatedHost host(EmulatorScenario{}, clock);
    CFlashDevice device(host);
    if (state.range(0) == kWriteBlock) {
        // Start an image so that further 0xFF blocks continue it.
        device.StartStopUnit(2);
        device.WriteBlock(0, 0, 0x00);
    }
    RunCommands(state, device);
}
BENCHMARK(BM_CommandOnEmulatedHost)->Arg(kInquiry)->Arg(kWriteBlock)->Iterations(16)->Unit(benchmark::kMicrosecond);

void BM_CommandOnLinuxHost(benchmark::State& state)
{
    CNullSgBench bench;
    CFlashDevice device(bench.Host());
    if (device.GetDeviceCount() != 1) {
        state.SkipWithError("the bench drive was not found");
        return;
    }
    RunCommands(state, device);
}
BENCHMARK(BM_CommandOnLinuxHost)->Arg(kInquiry)->Arg(kWriteBlock)->Unit(benchmark::kMicrosecond);

}  // namespace
