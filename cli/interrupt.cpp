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
#include <sys/ioctl.h>
#include <unistd.h>

#include <thread>
#endif

namespace {
// The signal side has no other way to reach the flag.
std::atomic<CInterruptFlag*> g_pInterruptFlag{nullptr};
}  // namespace

#ifdef _WIN32

namespace {
BOOL WINAPI OnConsoleControl(DWORD type)
{
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) {
        // The system runs this handler on a thread of its own.
        if (CInterruptFlag* flag = g_pInterruptFlag.load())
            flag->Raise();
        return TRUE;
    }
    return FALSE;
}
}  // namespace

struct CInterruptWatch::Impl {};

CInterruptWatch::CInterruptWatch(CInterruptFlag& flag) : m_pImpl(std::make_unique<Impl>())
{
    g_pInterruptFlag = &flag;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

CInterruptWatch::~CInterruptWatch()
{
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    g_pInterruptFlag = nullptr;
}

bool StderrIsLiveTerminal()
{
    if (!_isatty(_fileno(stderr)))
        return false;
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode))
        return false;
    // ENABLE_VIRTUAL_TERMINAL_PROCESSING, where the console has it.
    return SetConsoleMode(console, mode | 0x0004) != 0;
}

size_t StderrColumns()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return 0;
    return static_cast<size_t>(info.srWindow.Right - info.srWindow.Left + 1);
}

#else

namespace {
constexpr int kWakeSignal = SIGUSR2;
}  // namespace

struct CInterruptWatch::Impl {
    sigset_t set;
    sigset_t previous;
    std::atomic<bool> bStopping{false};
    std::thread watcher;
};

CInterruptWatch::CInterruptWatch(CInterruptFlag& flag) : m_pImpl(std::make_unique<Impl>())
{
    g_pInterruptFlag = &flag;
    Impl& impl = *m_pImpl;
    sigemptyset(&impl.set);
    for (int watched : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        struct sigaction current {};
        if (sigaction(watched, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
            continue;
        sigaddset(&impl.set, watched);
    }
    // Wakes the watcher when the watch ends; not one the user sends.
    sigaddset(&impl.set, kWakeSignal);
    pthread_sigmask(SIG_BLOCK, &impl.set, &impl.previous);
    impl.watcher = std::thread([&impl]() {
        for (;;) {
            int signal = 0;
            if (sigwait(&impl.set, &signal) != 0)
                continue;
            if (impl.bStopping)
                return;
            if (signal == kWakeSignal)
                continue;
            if (CInterruptFlag* flag = g_pInterruptFlag.load())
                flag->Raise();
        }
    });
}

CInterruptWatch::~CInterruptWatch()
{
    m_pImpl->bStopping = true;
    pthread_kill(m_pImpl->watcher.native_handle(), kWakeSignal);
    m_pImpl->watcher.join();
    pthread_sigmask(SIG_SETMASK, &m_pImpl->previous, nullptr);
    g_pInterruptFlag = nullptr;
}

bool StderrIsLiveTerminal()
{
    if (!isatty(STDERR_FILENO))
        return false;
    const char* term = getenv("TERM");
    return term && *term && std::string_view(term) != "dumb";
}

size_t StderrColumns()
{
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
}

#endif
