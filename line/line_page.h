#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "line/line_figures.h"

namespace httplib {
class Server;
}

// HOST:PORT, or [V6-ADDRESS]:PORT; false on anything else.
bool ParseHttpAddress(const std::string& text, std::string& host, int& port, std::string& error);

// The line's page: one static page and its data over HTTP, read from the
// collector's database and, when the page is given the line, from the
// stations' retained status. Server-sent events tell each open page that
// something changed: a new record in the database (looked for every
// kPollMs) or a station's status.
class CLinePage {
public:
    static constexpr int kPollMs = 250;
    // The board lists the stations with records this recent (and every
    // station whose status the line gives).
    static constexpr int kBoardHours = 24;
    // Open pages each keep one connection and one of the server's threads.
    static constexpr int kMaxEventClients = 64;

    explicit CLinePage(CLineFigures& figures);
    ~CLinePage();
    CLinePage(const CLinePage&) = delete;
    CLinePage& operator=(const CLinePage&) = delete;

    // Binds and serves on threads of its own; port 0 takes a free one.
    bool Start(const std::string& host, int port, std::string& error);
    int Port() const { return m_nPort; }
    void Stop();

    // A retained message of the line: a station's status (station not
    // empty) or the approval.
    void LineMessage(const std::string& station, const std::string& payload);

private:
    void Changed();
    void Watch(CLineFigures::Stamp seen);
    std::string BoardJson();
    // The answer to path and query as of the current version: computed once
    // for all the pages that ask after a change.
    using Answer = std::pair<int, std::string>;  // status, body
    Answer Cached(const std::string& key, const std::function<Answer()>& compute);

    CLineFigures& m_figures;
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_listener;
    std::thread m_watcher;
    int m_nPort = 0;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    uint64_t m_nVersion = 1;  // of what the page shows: each change counts one up
    bool m_bStopping = false;
    int m_nEventClients = 0;
    struct Status {
        std::string strPayload;
        std::string strReceived;  // when this server heard it
    };
    std::map<std::string, Status> m_statuses;
    std::string m_strApproved;

    std::mutex m_cacheMutex;  // held while an answer is computed: the others wait for it
    uint64_t m_nCachedVersion = 0;
    std::map<std::string, Answer> m_cache;
};
