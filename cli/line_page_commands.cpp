#ifndef _WIN32

#include "cli/line_page_commands.h"

#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "line/figures_format.h"
#include "line/line_page.h"
#include "line/line_url.h"
#include "line/mqtt_link.h"
#include "run/exit_codes.h"
#include "run/run_environment.h"

namespace {

constexpr int kConnectTimeoutMs = 10000;
constexpr int kDefaultHttpPort = 8391;

bool OpenFigures(const CliOptions& options, CliEnvironment& env, CLineFigures& figures)
{
    std::string error;
    if (figures.Open(*options.db, error))
        return true;
    PrintError(env, error);
    return false;
}

}  // namespace

int CommandLineServe(const CliOptions& options, CliEnvironment& env, const MqttSettings* line)
{
    std::string host = "127.0.0.1";
    int port = kDefaultHttpPort;
    std::string error;
    if (options.http && !ParseHttpAddress(*options.http, host, port, error)) {
        PrintError(env, error);
        return kExitUsage;
    }
    CLineFigures figures;
    if (!OpenFigures(options, env, figures))
        return kExitError;
    // The server's threads take turns at the database: one heap for all of
    // them keeps what a week's query freed for the next one, where a heap
    // per thread would each keep their own.
    mallopt(M_ARENA_MAX, 1);
    CLinePage page(figures);
    // After the page: the link's thread, which feeds it, ends first.
    CMqttLink link;
    if (line) {
        const std::string& name = line->url.strLine;
        link.onConnection = [&](bool connected) {
            if (!connected)
                return;
            link.Subscribe(StationWildcard(name, "status"));
            link.Subscribe(ApprovedTopic(name));
        };
        link.onMessage = [&](const std::string& topic, const std::string& payload, bool) {
            page.LineMessage(StationOfTopic(topic), payload);
        };
        MqttSettings settings = *line;
        settings.strClientId = "kt3916-serve-" + std::to_string(getpid());
        if (!link.Connect(settings, kConnectTimeoutMs, error)) {
            PrintError(env, error);
            return kExitError;
        }
    }
    if (!page.Start(host, port, error)) {
        PrintError(env, error);
        return kExitError;
    }
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    PrintError(env, "the line's page: http://" + shown + ":" + std::to_string(page.Port()) + "/ (Ctrl-C stops)");
    while (!env.Interrupted())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    page.Stop();
    link.Disconnect();
    return kExitSuccess;
}

int CommandLineReport(const CliOptions& options, CliEnvironment& env)
{
    FigureRange range;
    for (auto [name, text, field] : {std::tuple{"--since", &options.since, &range.strSince},
                                     std::tuple{"--until", &options.until, &range.strUntil}}) {
        if (*text && !ParseRangeTime(**text, *field)) {
            PrintError(env, std::string(name) + " '" + **text +
                                "': a UTC time like 2026-12-10, 2026-12-10T06:00 or 2026-12-10T06:00:00Z");
            return kExitUsage;
        }
    }
    CLineFigures figures;
    if (!OpenFigures(options, env, figures))
        return kExitError;
    LineFigures shown;
    std::string error;
    if (!figures.Figures(range, shown, error)) {
        PrintError(env, error);
        return kExitError;
    }
    *env.pOut << (options.bJson ? FiguresJson(shown) + "\n" : options.bCsv ? FiguresCsv(shown) : FiguresText(shown));
    env.pOut->flush();
    return *env.pOut ? kExitSuccess : kExitError;
}

#endif
