#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "emulator/tcmu_ring.h"
#include "linux/fake_tcmu_ring.h"

namespace {

const std::vector<uint8_t> kTestUnitReady(6, 0);
const std::vector<uint8_t> kInquiry = {0x12, 0, 0, 0, 36, 0};
const std::vector<uint8_t> kBlockWrite = {0xFA, 0, 0, 0, 0, 0, 0x12, 0x34, 0, 0};

// An entry the kernel should never write: either the command is refused
// (fault) and the ring goes on, or the ring stops (broken). Never a read or
// write outside the mapping, never a loop.
struct BadEntryCase {
    const char* name;
    std::function<void(CFakeTcmuRing&, uint32_t entry)> spoil;
    bool breaksRing;
};

const BadEntryCase kBadEntries[] = {
    {"length zero", [](CFakeTcmuRing& r, uint32_t e) { r.Entry(e)->hdr.len_op = tcmu::kOpCmd; }, true},
    {"length beyond the head",
     [](CFakeTcmuRing& r, uint32_t e) { r.Entry(e)->hdr.len_op = (CFakeTcmuRing::kRingSize - 8) | tcmu::kOpCmd; },
     true},
    {"command shorter than its answer",
     [](CFakeTcmuRing& r, uint32_t e) { r.Entry(e)->hdr.len_op = 16 | tcmu::kOpCmd; }, true},
    {"entry crossing the ring's end, with the head wrapped past it",
     [](CFakeTcmuRing& r, uint32_t) {
         const uint32_t start = CFakeTcmuRing::kRingSize - 64;
         r.Entry(start)->hdr.len_op = 128 | tcmu::kOpCmd;
         r.Mailbox()->cmd_tail = start;
         r.Mailbox()->cmd_head = 64;
     },
     true},
    {"head outside the ring", [](CFakeTcmuRing& r, uint32_t) { r.Mailbox()->cmd_head = 0x7FFFFFF8; }, true},
    {"iovec count beyond the entry", [](CFakeTcmuRing& r, uint32_t e) { r.Entry(e)->req.iov_cnt = 0xFFFFFFFF; }, false},
    {"CDB beyond the mapping", [](CFakeTcmuRing& r, uint32_t e) { r.Entry(e)->req.cdb_off = uint64_t{1} << 40; },
     false},
    {"CDB in the data area",
     [](CFakeTcmuRing& r, uint32_t e) { r.Entry(e)->req.cdb_off = CFakeTcmuRing::kDataOff + 16; }, false},
    {"16-byte CDB crossing the ring's end",
     [](CFakeTcmuRing& r, uint32_t e) {
         r.Entry(e)->req.cdb_off = CFakeTcmuRing::kDataOff - 4;
         r.Base()[CFakeTcmuRing::kDataOff - 4] = 0x88;  // READ(16)
     },
     false},
    {"iovec in the mailbox", [](CFakeTcmuRing& r, uint32_t e) { r.Iov(e, 0)->iov_base = nullptr; }, false},
    {"iovec past the mapping", [](CFakeTcmuRing& r, uint32_t e) { r.Iov(e, 0)->iov_len = CFakeTcmuRing::kSize; },
     false},
    {"iovec length wrapping", [](CFakeTcmuRing& r, uint32_t e) { r.Iov(e, 0)->iov_len = SIZE_MAX; }, false},
};

TEST(TcmuRing, BadEntriesAreRefusedOrStopTheRing)
{
    for (const BadEntryCase& c : kBadEntries) {
        SCOPED_TRACE(c.name);
        CFakeTcmuRing fake;
        const uint32_t bad = fake.Queue(7, kInquiry, {64});
        fake.Queue(8, kTestUnitReady, {});
        c.spoil(fake, bad);
        const uint32_t tail = fake.Tail();
        CTcmuRing ring(fake.Base(), CFakeTcmuRing::kSize);
        ASSERT_TRUE(ring.Valid());

        CTcmuRing::Command command;
        if (c.breaksRing) {
            EXPECT_FALSE(ring.Next(command));
            EXPECT_NE(ring.Broken(), nullptr);
            EXPECT_FALSE(ring.Next(command));  // and stays stopped
            EXPECT_EQ(fake.Tail(), tail);
            continue;
        }
        ASSERT_TRUE(ring.Next(command));
        EXPECT_EQ(command.id, 7);
        ASSERT_NE(command.fault, nullptr);
        uint8_t buffer[64];
        EXPECT_EQ(ring.CopyDataOut(command, buffer, sizeof buffer), 0u);
        const uint8_t sense[18] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24};
        ring.Complete(command, 0x02, sense, sizeof sense, buffer, sizeof buffer);
        EXPECT_EQ(fake.Entry(bad)->rsp.scsi_status, 0x02);
        EXPECT_EQ(fake.Entry(bad)->rsp.read_len, 0u);
        // The well-formed command behind it is served as usual.
        ASSERT_TRUE(ring.Next(command));
        EXPECT_EQ(command.id, 8);
        EXPECT_EQ(command.fault, nullptr);
        EXPECT_EQ(ring.Broken(), nullptr);
    }
}

TEST(TcmuRing, AnswersFillTheTailInTheOrderGivenEachNamingItsCommand)
{
    CFakeTcmuRing fake;
    const uint32_t first = fake.Queue(1, kBlockWrite, {512});
    const uint32_t second = fake.Queue(2, kTestUnitReady, {});
    CTcmuRing ring(fake.Base(), CFakeTcmuRing::kSize);
    CTcmuRing::Command write, unitReady;
    ASSERT_TRUE(ring.Next(write));
    ASSERT_TRUE(ring.Next(unitReady));
    EXPECT_EQ(unitReady.cdbLength, 6u);
    EXPECT_EQ(write.cdbLength, 10u);  // group 7 keeps 10 bytes
    EXPECT_EQ(write.dataLength, 512u);

    ring.Complete(unitReady, 0x00, nullptr, 0, nullptr, 0);
    EXPECT_EQ(fake.Entry(first)->hdr.cmd_id, 2);
    EXPECT_EQ(fake.Entry(first)->rsp.scsi_status, 0x00);
    EXPECT_EQ(fake.Tail(), second);

    ring.Complete(write, 0x02, nullptr, 0, nullptr, 0);
    EXPECT_EQ(fake.Entry(second)->hdr.cmd_id, 1);
    EXPECT_EQ(fake.Entry(second)->rsp.scsi_status, 0x02);
    EXPECT_EQ(fake.Tail(), fake.Head());
}

// Data scattered over several vectors is gathered and scattered in vector
// order; what the answer does not fill reads as zeros.
TEST(TcmuRing, DataGoesByEveryVectorInOrder)
{
    CFakeTcmuRing fake;
    const uint32_t entry = fake.Queue(3, kBlockWrite, {4, 8});
    // The fake lays the vectors end to end in the data area.
    for (uint32_t i = 0; i < 12; ++i)
        fake.Data(CFakeTcmuRing::kDataOff)[i] = static_cast<uint8_t>(i + 1);
    CTcmuRing ring(fake.Base(), CFakeTcmuRing::kSize);
    CTcmuRing::Command command;
    ASSERT_TRUE(ring.Next(command));
    EXPECT_EQ(command.dataLength, 12u);
    uint8_t out[12] = {};
    ASSERT_EQ(ring.CopyDataOut(command, out, sizeof out), 12u);
    for (uint32_t i = 0; i < 12; ++i)
        EXPECT_EQ(out[i], i + 1) << i;

    const uint8_t answer[6] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    ring.Complete(command, 0x00, nullptr, 0, answer, sizeof answer);
    const std::vector<uint8_t> expected = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(fake.Data(CFakeTcmuRing::kDataOff), fake.Data(CFakeTcmuRing::kDataOff) + 12),
              expected);
    EXPECT_EQ(fake.Entry(entry)->rsp.read_len, 6u);
}

TEST(TcmuRing, PaddingAndOtherRequestsArePassedByTheTail)
{
    CFakeTcmuRing fake;
    // Near the ring's end: a task management request, then a command that
    // does not fit before the end and comes after padding, at the start.
    constexpr uint32_t kStart = CFakeTcmuRing::kRingSize - 136;
    fake.Mailbox()->cmd_head = fake.Mailbox()->cmd_tail = kStart;
    fake.Queue(tcmu::kOpTmr, 64);
    const uint32_t wrapped = fake.Queue(4, kTestUnitReady, {});
    ASSERT_EQ(wrapped, 0u);
    CTcmuRing ring(fake.Base(), CFakeTcmuRing::kSize);
    CTcmuRing::Command command;
    ASSERT_TRUE(ring.Next(command));
    EXPECT_EQ(command.id, 4);
    EXPECT_EQ(fake.Entry(kStart)->hdr.uflags, tcmu::kUflagUnknownOp);
    EXPECT_EQ(fake.Tail(), 0u);  // past the request and the padding at once
    ring.Complete(command, 0x00, nullptr, 0, nullptr, 0);
    EXPECT_EQ(fake.Tail(), fake.Head());
    EXPECT_FALSE(ring.Next(command));
}

}  // namespace
