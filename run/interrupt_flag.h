#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

// Ctrl-C as the tool sees it: a flag the forms read between timer ticks,
// and listeners that hear of it at once, on the thread that raised it, while
// a form may still be waiting for a long device command.
class CInterruptFlag {
public:
    bool IsRaised() const { return m_bRaised.load(); }
    // How often it was raised: a wait that began after the first one can
    // still be ended by the next.
    uint64_t RaiseCount() const { return m_nRaises.load(); }
    void Raise();

    // The listener runs on the raising thread, never after RemoveListener
    // has returned; one raised before it was added is not replayed.
    int AddListener(std::function<void()> listener);
    void RemoveListener(int id);

private:
    std::atomic<bool> m_bRaised{false};
    std::atomic<uint64_t> m_nRaises{0};
    std::mutex m_mutex;
    std::map<int, std::function<void()>> m_listeners;
    int m_nNextId = 1;
};
