#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <memory>
#include <string>
#include <thread>

#include "base/output_queue.h"

namespace {

// A reader that takes nothing until it is let go, then everything.
class CHeldSink final : public IOutputSink {
public:
    bool Write(const std::string& text) override
    {
        std::unique_lock lock(m_mutex);
        m_bWaiting = true;
        m_released.wait(lock, [this] { return m_bLetGo; });
        m_strText += text;
        return !m_bFail;
    }
    std::string ErrorText() const override { return "refused"; }
    void LetGo(bool fail = false)
    {
        std::lock_guard lock(m_mutex);
        m_bLetGo = true;
        m_bFail = fail;
        m_released.notify_all();
    }
    bool Waiting()
    {
        std::lock_guard lock(m_mutex);
        return m_bWaiting;
    }
    std::string Text()
    {
        std::lock_guard lock(m_mutex);
        return m_strText;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_released;
    bool m_bLetGo = false;
    bool m_bFail = false;
    bool m_bWaiting = false;
    std::string m_strText;
};

// Whoever posts never waits on the reader; records arrive whole and in
// order, while a redrawn display arrives once in its latest state.
TEST(OutputQueue, AReaderThatDoesNotReadHoldsNoWriter)
{
    auto owned = std::make_unique<CHeldSink>();
    CHeldSink& sink = *owned;
    COutputQueue queue(std::move(owned));
    std::atomic<int> state{0};
    std::atomic<int> renders{0};
    queue.SetLive([&] {
        ++renders;
        return "[" + std::to_string(state.load()) + "]";
    });
    queue.Post("first\n");
    while (!sink.Waiting())
        std::this_thread::yield();
    for (int i = 1; i <= 100; ++i) {
        queue.Post("record " + std::to_string(i) + "\n");
        state = i;
        queue.Refresh();
    }
    EXPECT_EQ(queue.Pending(), queue.Posted());
    EXPECT_FALSE(queue.WaitWritten(queue.Posted(), false, [] { return true; })) << "a wait can be given up";

    sink.LetGo();
    ASSERT_TRUE(queue.Close());
    std::string expected = "first\n";
    for (int i = 1; i <= 100; ++i)
        expected += "record " + std::to_string(i) + "\n";
    EXPECT_EQ(sink.Text(), expected + "[100]");
    EXPECT_EQ(renders.load(), 1);
}

TEST(OutputQueue, AClosedReaderIsAFailureAndAGivenUpWaitLeavesTheWriter)
{
    auto failing = std::make_unique<CHeldSink>();
    failing->LetGo(true);
    COutputQueue failed(std::move(failing));
    failed.Post("lost\n");
    EXPECT_FALSE(failed.Flush(false));
    EXPECT_TRUE(failed.Failed());
    EXPECT_EQ(failed.ErrorText(), "refused");

    auto held = std::make_unique<CHeldSink>();
    CHeldSink& sink = *held;
    {
        COutputQueue queue(std::move(held));
        queue.Post("never read\n");
        EXPECT_FALSE(queue.Close([] { return true; }));
        EXPECT_EQ(queue.Pending(), 11u);
    }
    // The writer left behind still owns its reader; let it finish.
    sink.LetGo();
}

}  // namespace
