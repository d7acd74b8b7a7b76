#include "cli/interrupt.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <thread>
#endif

namespace {
std::atomic<bool> g_bInterruptRequested{false};
}

#ifdef _WIN32

namespace {
BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) {
        g_bInterruptRequested = true;
        return TRUE;
    }
    return FALSE;
}
}  // namespace

struct CInterruptWatch::Impl {};

CInterruptWatch::CInterruptWatch() : m_pImpl(std::make_unique<Impl>()) {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

CInterruptWatch::~CInterruptWatch() { SetConsoleCtrlHandler(OnConsoleControl, FALSE); }

bool StderrIsLiveTerminal() {
    if (!_isatty(_fileno(stderr))) return false;
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode)) return false;
    // ENABLE_VIRTUAL_TERMINAL_PROCESSING, where the console has it.
    return SetConsoleMode(console, mode | 0x0004) != 0;
}

#else

struct CInterruptWatch::Impl {
    sigset_t set;
    sigset_t previous;
    std::atomic<bool> bStopping{false};
    std::thread watcher;
};

CInterruptWatch::CInterruptWatch() : m_pImpl(std::make_unique<Impl>()) {
    Impl& impl = *m_pImpl;
    sigemptyset(&impl.set);
    sigaddset(&impl.set, SIGINT);
    sigaddset(&impl.set, SIGTERM);
    sigaddset(&impl.set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &impl.set, &impl.previous);
    impl.watcher = std::thread([&impl]() {
        for (;;) {
            int signal = 0;
            if (sigwait(&impl.set, &signal) != 0) continue;
            if (impl.bStopping) return;
            g_bInterruptRequested = true;
        }
    });
}

CInterruptWatch::~CInterruptWatch() {
    m_pImpl->bStopping = true;
    pthread_kill(m_pImpl->watcher.native_handle(), SIGTERM);
    m_pImpl->watcher.join();
    pthread_sigmask(SIG_SETMASK, &m_pImpl->previous, nullptr);
}

bool StderrIsLiveTerminal() {
    if (!isatty(STDERR_FILENO)) return false;
    const char* term = getenv("TERM");
    return term && *term && std::string_view(term) != "dumb";
}

#endif

const std::atomic<bool>& CInterruptWatch::Flag() const { return g_bInterruptRequested; }
