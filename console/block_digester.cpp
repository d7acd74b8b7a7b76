#include "console/block_digester.h"

#include <system_error>

CBlockDigester::CBlockDigester()
{
    try {
        m_thread = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        // No thread to spare: Add hashes in place.
    }
}

CBlockDigester::~CBlockDigester()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void CBlockDigester::Add(const uint8_t* data, uint32_t count)
{
    if (!m_thread.joinable()) {
        m_digester.Add(data, count);
        return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_bPendingFull; });
    m_pending.assign(data, data + count);
    m_bPendingFull = true;
    lock.unlock();
    m_changed.notify_all();
}

ImageDigest CBlockDigester::Finish()
{
    if (m_thread.joinable()) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_bPendingFull; });
    }
    return m_digester.Finish();
}

void CBlockDigester::Run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_bPendingFull || m_bStop; });
        if (!m_bPendingFull)
            return;
        // Add waits for the slot, so the piece is not touched while hashed.
        lock.unlock();
        m_digester.Add(m_pending.data(), static_cast<uint32_t>(m_pending.size()));
        lock.lock();
        m_bPendingFull = false;
        m_changed.notify_all();
    }
}
