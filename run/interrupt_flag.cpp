#include "run/interrupt_flag.h"

void CInterruptFlag::Raise()
{
    m_bRaised = true;
    ++m_nRaises;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& [id, listener] : m_listeners)
        listener();
}

int CInterruptFlag::AddListener(std::function<void()> listener)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const int id = m_nNextId++;
    m_listeners[id] = std::move(listener);
    return id;
}

void CInterruptFlag::RemoveListener(int id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_listeners.erase(id);
}
