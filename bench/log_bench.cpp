// What --log costs: the 1 MiB block transfer against the emulated device on
// the bare host, through the recording layer alone (kt3916flash-cli without
// --log) and through the layer writing its log to a file, flushed after every
// command (with --log). The three run in turns inside each iteration, so all
// of them see the same load on the machine; the counters give each one's
// mean host time, the median overhead of the log (against the layer alone)
// and of the layer with its log (against the bare host), the heap
// allocations per transfer and what the layer and its log add per command.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "app/options.h"
#include "bench/alloc_counter.h"
#include "bench/bench_support.h"
#include "device/emulated/emulated_host.h"
#include "device/recording_host.h"
#include "form/flash_view.h"
#include "run/windowless_form.h"

namespace {

constexpr uint64_t kImage1M = 1048576;
constexpr int kCommandsPerTransfer = 19;  // START STOP UNIT and 18 block writes

enum Variant {
    kBare,
    kRecorded,
    kLogged,
    kVariants
};

// One form on its own emulated device, reached through the host the variant
// says.
class CTransferRig {
public:
    CTransferRig(Variant variant, const std::string& logPath)
        : m_host(Scenario(), m_clock), m_window(m_clock, m_record, nullptr, nullptr)
    {
        IScsiHost* host = &m_host;
        if (variant != kBare) {
            RecordingOptions options;
            if (variant == kLogged) {
                m_log.open(logPath, std::ios::out | std::ios::trunc | std::ios::binary);
                options.pLog = &m_log;
            }
            m_pRecorder = std::make_unique<CRecordingHost>(m_host, std::move(options));
            host = m_pRecorder.get();
        }
        m_pView = std::make_unique<CFlashView>(m_window, *host);
        m_pView->OnInitialUpdate();
    }

    // Host time of one transfer in microseconds, and its allocations, added
    // to the totals; false when the transfer failed.
    bool Transfer(double& microseconds, uint64_t& allocations)
    {
        const uint64_t before = AllocationCount();
        const auto start = std::chrono::steady_clock::now();
        const bool ok = m_pView->DownloadImage();
        const auto stop = std::chrono::steady_clock::now();
        allocations += AllocationCount() - before;
        microseconds += std::chrono::duration<double, std::micro>(stop - start).count();
        return ok && (!m_pRecorder || !m_pRecorder->LogFailed());
    }

private:
    static EmulatorScenario Scenario()
    {
        EmulatorScenario scenario;
        scenario.rebootMs = 0;
        return scenario;
    }

    ManualClock m_clock;
    EmulatedHost m_host;
    std::ofstream m_log;
    std::unique_ptr<CRecordingHost> m_pRecorder;
    FlashRecord m_record;
    CWindowlessForm m_window;
    std::unique_ptr<CFlashView> m_pView;
};

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void BM_LogOverhead1M(benchmark::State& state)
{
    CBenchFile image("log-1m.bin", kImage1M);
    const std::string logPath =
        (std::filesystem::temp_directory_path() / ("kt-bench-" + std::to_string(getpid()) + "-log.jsonl")).string();
    g_strImagePath = image.Path();
    g_strDriveSpec = "D:";
    g_bAutoFlash = 0;
    {
        std::unique_ptr<CTransferRig> rigs[kVariants];
        for (int v = 0; v < kVariants; ++v)
            rigs[v] = std::make_unique<CTransferRig>(static_cast<Variant>(v), logPath);
        double total[kVariants] = {};
        uint64_t allocations[kVariants] = {};
        // The overhead of each iteration's three runs, taken side by side: the
        // median is not moved by a load spike that hit one of them.
        std::vector<double> logOverhead;
        std::vector<double> layerAndLogOverhead;
        int64_t turn = 0;
        for (auto _ : state) {
            double microseconds[kVariants] = {};
            // A different variant goes first each time: none profits from a
            // cache the one before it warmed.
            for (int k = 0; k < kVariants; ++k) {
                const int v = static_cast<int>((turn + k) % kVariants);
                if (!rigs[v]->Transfer(microseconds[v], allocations[v])) {
                    state.SkipWithError("a transfer failed");
                    break;
                }
                total[v] += microseconds[v];
            }
            logOverhead.push_back(100.0 * (microseconds[kLogged] / microseconds[kRecorded] - 1.0));
            layerAndLogOverhead.push_back(100.0 * (microseconds[kLogged] / microseconds[kBare] - 1.0));
            ++turn;
        }
        const double n = static_cast<double>(state.iterations());
        state.counters["bare_us"] = total[kBare] / n;
        state.counters["recorded_us"] = total[kRecorded] / n;
        state.counters["logged_us"] = total[kLogged] / n;
        state.counters["log_overhead_pct"] = Median(logOverhead);
        state.counters["layer_and_log_overhead_pct"] = Median(layerAndLogOverhead);
        state.counters["allocs_per_transfer_bare"] = static_cast<double>(allocations[kBare]) / n;
        state.counters["allocs_per_transfer_logged"] = static_cast<double>(allocations[kLogged]) / n;
        // What the layer and its log add to each command.
        const double commands = n * kCommandsPerTransfer;
        state.counters["added_allocs_per_cmd"] =
            (static_cast<double>(allocations[kLogged]) - static_cast<double>(allocations[kBare])) / commands;
    }
    std::error_code ec;
    std::filesystem::remove(logPath, ec);
}
BENCHMARK(BM_LogOverhead1M)->Unit(benchmark::kMillisecond)->MinTime(3.0);

}  // namespace
