// Whole runs of kt3916flash-cli as a separate process: the peak memory of
// 'info' on a 4 GiB sparse file next to a 512 KiB one, and the wall time of
// 'flash --all' on eight emulated devices next to one.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_support.h"

namespace {

// Runs the tool with stdout and stderr discarded; false when it could not
// run. Peak resident memory of that one process in KiB.
bool RunTool(const std::vector<std::string>& args, long& maxRssKib, int& exitCode)
{
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        std::FILE* null = std::fopen("/dev/null", "w");
        if (null) {
            dup2(fileno(null), 1);
            dup2(fileno(null), 2);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(KT_CLI_PATH));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(KT_CLI_PATH, argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        return false;
    maxRssKib = usage.ru_maxrss;
    exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

void BM_InfoPeakMemory(benchmark::State& state)
{
    const uint64_t length = static_cast<uint64_t>(state.range(0));
    CBenchFile image("info-" + std::to_string(length) + ".bin", length, length > 1048576);
    long maxRss = 0;
    for (auto _ : state) {
        int exit = 0;
        if (!RunTool({"info", image.Path()}, maxRss, exit) || (exit != 0 && exit != 5)) {
            state.SkipWithError("info failed");
            break;
        }
    }
    state.counters["peak_rss_kib"] = static_cast<double>(maxRss);
    state.SetLabel(length > 1048576 ? "4 GiB sparse" : "512 KiB");
}
BENCHMARK(BM_InfoPeakMemory)
    ->Arg(524288)
    ->Arg(int64_t{4} << 30)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The largest span from a device's start event to its last block event:
// the block transfer, without the fixed verification wait.
double TransferSpanMs(const std::string& json)
{
    std::map<std::string, std::pair<double, double>> spans;  // device -> start, last block
    size_t pos = 0;
    while ((pos = json.find("{\"event\":\"", pos)) != std::string::npos) {
        const size_t end = json.find('\n', pos);
        const std::string line = json.substr(pos, end - pos);
        pos = end;
        auto field = [&](const std::string& key) {
            const size_t at = line.find("\"" + key + "\":");
            return at == std::string::npos ? std::string() : line.substr(at + key.size() + 3);
        };
        const std::string device = field("device").substr(0, 4);
        const double t = std::atof(field("t_ms").c_str());
        if (line.rfind("{\"event\":\"start\"", 0) == 0)
            spans[device].first = t;
        if (line.rfind("{\"event\":\"block\"", 0) == 0)
            spans[device].second = t;
    }
    double longest = 0;
    for (const auto& [device, span] : spans)
        longest = std::max(longest, span.second - span.first);
    return longest;
}

void BM_FlashAllWallTime(benchmark::State& state)
{
    const int devices = static_cast<int>(state.range(0));
    CBenchFile image("flash-all-512k.bin", 524288);
    const std::string command = std::string(KT_CLI_PATH) + " --emulate=devices=" + std::to_string(devices) +
                                ",latency_ms=20 flash --all --json " + image.Path() + " 2>/dev/null";
    double transferMs = 0;
    for (auto _ : state) {
        std::FILE* pipe = popen(command.c_str(), "r");
        if (!pipe) {
            state.SkipWithError("cannot run the tool");
            break;
        }
        std::string output;
        char chunk[4096];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0)
            output.append(chunk, got);
        const int status = pclose(pipe);
        if (status != 0 || output.find("\"succeeded\":" + std::to_string(devices)) == std::string::npos) {
            state.SkipWithError("not every device succeeded");
            break;
        }
        transferMs = TransferSpanMs(output);
    }
    state.counters["transfer_ms"] = transferMs;
    state.SetLabel(std::to_string(devices) + " device(s), 20 ms per command");
}
BENCHMARK(BM_FlashAllWallTime)->Arg(1)->Arg(8)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
