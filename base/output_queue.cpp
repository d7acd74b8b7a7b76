#include "base/output_queue.h"

#include "base/output_file.h"

#include <chrono>
#include <deque>

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

struct COutputQueue::State {
    explicit State(std::unique_ptr<IOutputSink> s) : sink(std::move(s)) {}

    std::unique_ptr<IOutputSink> sink;
    mutable std::mutex mutex;
    std::condition_variable wake;     // the writer: something to do
    std::condition_variable written;  // the waiters: the writer moved on
    std::deque<std::string> texts;
    // Held while render runs, so that SetLive returns only once no render
    // of the old one is under way.
    std::mutex renderMutex;
    std::function<std::string()> render;
    bool bLiveDirty = false;
    bool bClosing = false;
    bool bFailed = false;
    std::string strError;
    uint64_t nPosted = 0;   // bytes posted
    uint64_t nWritten = 0;  // bytes written
    uint64_t nSyncWanted = 0;
    uint64_t nSynced = 0;
};

COutputQueue::COutputQueue(std::unique_ptr<IOutputSink> sink) : m_pState(std::make_shared<State>(std::move(sink)))
{
    // The thread owns the state with the queue: left behind on a reader that
    // never reads, it still has everything it touches.
    m_writer = std::thread(Drain, m_pState);
}

COutputQueue::~COutputQueue()
{
    Close();
}

void COutputQueue::Drain(const std::shared_ptr<State>& state)
{
#ifndef _WIN32
    // The signals that stop the tool are the main thread's to take (or its
    // watcher's): one delivered here would end the process at once.
    sigset_t stops;
    sigemptyset(&stops);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&stops, signal);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
#endif
    std::unique_lock lock(state->mutex);
    const auto KeepFailure = [&](bool ok) {  // the lock held
        if (!ok && !state->bFailed) {
            state->bFailed = true;
            state->strError = state->sink->ErrorText();
        }
    };
    for (;;) {
        state->wake.wait(lock, [&] {
            return !state->texts.empty() || state->bLiveDirty || state->nSyncWanted > state->nSynced || state->bClosing;
        });
        if (state->bFailed) {
            state->texts.clear();
            state->bLiveDirty = false;
            state->nSynced = state->nSyncWanted;
        }
        if (!state->texts.empty()) {
            std::string text = std::move(state->texts.front());
            state->texts.pop_front();
            lock.unlock();
            const bool ok = state->sink->Write(text);
            lock.lock();
            state->nWritten += text.size();
            KeepFailure(ok);
            state->written.notify_all();
            continue;
        }
        if (state->bLiveDirty) {
            state->bLiveDirty = false;
            lock.unlock();
            std::string text;
            {
                std::lock_guard renderLock(state->renderMutex);
                if (state->render)
                    text = state->render();
            }
            const bool ok = text.empty() || state->sink->Write(text);
            lock.lock();
            KeepFailure(ok);
            continue;
        }
        if (state->nSyncWanted > state->nSynced) {
            const uint64_t through = state->nWritten;
            lock.unlock();
            const bool ok = state->sink->Sync();
            lock.lock();
            state->nSynced = through;
            KeepFailure(ok);
            state->written.notify_all();
            continue;
        }
        if (state->bClosing)
            return;
    }
}

// The writer is woken once the lock is let go: woken under it, it would
// only wait for it again, a switch of threads more for every line.
void COutputQueue::Post(std::string text)
{
    if (text.empty())
        return;
    {
        std::lock_guard lock(m_pState->mutex);
        if (m_pState->bFailed || m_pState->bClosing)
            return;
        m_pState->nPosted += text.size();
        m_pState->texts.push_back(std::move(text));
    }
    m_pState->wake.notify_one();
}

void COutputQueue::SetLive(std::function<std::string()> render)
{
    std::lock_guard lock(m_pState->renderMutex);
    m_pState->render = std::move(render);
}

void COutputQueue::Refresh()
{
    {
        std::lock_guard lock(m_pState->mutex);
        m_pState->bLiveDirty = true;
    }
    m_pState->wake.notify_one();
}

uint64_t COutputQueue::Posted() const
{
    std::lock_guard lock(m_pState->mutex);
    return m_pState->nPosted;
}

bool COutputQueue::WaitWritten(uint64_t mark, bool sync, const std::function<bool()>& stop)
{
    State& state = *m_pState;
    std::unique_lock lock(state.mutex);
    if (sync && state.nSyncWanted < mark) {
        state.nSyncWanted = mark;
        state.wake.notify_one();
    }
    const auto done = [&] {
        // A failed output writes nothing more: waiting longer gains nothing.
        return state.bFailed || (state.nWritten >= mark && (!sync || state.nSynced >= mark));
    };
    while (!done()) {
        if (!m_writer.joinable())
            return false;
        if (!stop) {
            state.written.wait(lock);
        } else if (!state.written.wait_for(lock, std::chrono::milliseconds(20), done) && stop()) {
            return false;
        }
    }
    return !state.bFailed;
}

bool COutputQueue::Close(const std::function<bool()>& stop)
{
    if (!m_writer.joinable())
        return !Failed();
    const bool drained = Flush(true, stop);
    {
        std::lock_guard lock(m_pState->mutex);
        m_pState->bClosing = true;
        m_pState->wake.notify_one();
    }
    if (drained || Failed()) {
        m_writer.join();
    } else {
        m_writer.detach();
    }
    return drained;
}

bool COutputQueue::Failed() const
{
    std::lock_guard lock(m_pState->mutex);
    return m_pState->bFailed;
}

std::string COutputQueue::ErrorText() const
{
    std::lock_guard lock(m_pState->mutex);
    return m_pState->strError;
}

uint64_t COutputQueue::Pending() const
{
    std::lock_guard lock(m_pState->mutex);
    return m_pState->nPosted - m_pState->nWritten;
}

int COutputQueueStream::CBuffer::overflow(int ch)
{
    if (ch == traits_type::eof())
        return traits_type::not_eof(ch);
    const char c = static_cast<char>(ch);
    return xsputn(&c, 1) == 1 ? ch : traits_type::eof();
}

std::streamsize COutputQueueStream::CBuffer::xsputn(const char* data, std::streamsize count)
{
    std::lock_guard lock(mutex);
    partial.append(data, static_cast<size_t>(count));
    const size_t end = partial.rfind('\n');
    if (end != std::string::npos) {
        std::string rest = partial.substr(end + 1);
        partial.resize(end + 1);
        queue.Post(std::move(partial));
        partial = std::move(rest);
    }
    return count;
}

int COutputQueueStream::CBuffer::sync()
{
    std::lock_guard lock(mutex);
    queue.Post(std::move(partial));
    partial.clear();
    return 0;
}

bool COstreamSink::Write(const std::string& text)
{
    m_out.write(text.data(), static_cast<std::streamsize>(text.size()));
    m_out.flush();
    return static_cast<bool>(m_out);
}

std::string COstreamSink::ErrorText() const
{
    return "the stream could not be written";
}

CFileSink::CFileSink(std::unique_ptr<COutputFile> file) : m_pFile(std::move(file)) {}

CFileSink::~CFileSink()
{
    m_pFile->Close();
}

bool CFileSink::Write(const std::string& text)
{
    return m_pFile->Write(text.data(), text.size());
}

bool CFileSink::Sync()
{
    return m_pFile->Sync();
}

std::string CFileSink::ErrorText() const
{
    return m_pFile->ErrorText();
}
