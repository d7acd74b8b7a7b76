#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "console/image_digest.h"

// The digest of the blocks of one transfer, taken on a thread of its own so
// that hashing block k overlaps sending it: Add keeps a copy of the bytes
// read (the device's buffer is the next read's) and returns. Finish waits
// for every byte given, so a caller that compares its result before the
// final block goes out has compared all of them. Without a thread (none
// could be started) the bytes are hashed in Add, with the same result.
class CBlockDigester {
public:
    CBlockDigester();
    ~CBlockDigester();
    CBlockDigester(const CBlockDigester&) = delete;
    CBlockDigester& operator=(const CBlockDigester&) = delete;

    // Waits only while the previous piece is still being hashed.
    void Add(const uint8_t* data, uint32_t count);
    ImageDigest Finish();

private:
    void Run();

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<uint8_t> m_pending;  // the piece the thread hashes next
    bool m_bPendingFull = false;
    bool m_bStop = false;
    CImageDigester m_digester;  // the thread's while it runs
    std::thread m_thread;
};
