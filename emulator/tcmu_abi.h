#pragma once
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

// The memory layout the kernel's user-space SCSI backstore shares with its
// handler, as <linux/target_core_user.h> (version 2) lays it out. That header
// cannot be used from C++: its inline helpers return an unsigned as an enum,
// which GCC accepts only with -fpermissive and clang not at all.
namespace tcmu {

constexpr uint16_t kMailboxVersion = 2;
constexpr uint16_t kCapOutOfOrder = 1 << 0;  // answers may come in any order
constexpr uint16_t kCapReadLength = 1 << 1;  // an answer may say how much data it returns

constexpr uint32_t kOpMask = 0x7;  // the low bits of len_op; the rest is the length
constexpr uint8_t kOpPad = 0;
constexpr uint8_t kOpCmd = 1;
constexpr uint8_t kOpTmr = 2;

constexpr uint8_t kUflagUnknownOp = 0x1;
constexpr uint8_t kUflagReadLength = 0x2;
constexpr std::size_t kSenseBufferSize = 96;

struct Mailbox {
    uint16_t version;
    uint16_t flags;
    uint32_t cmdr_off;
    uint32_t cmdr_size;
    uint32_t cmd_head;
    alignas(64) uint32_t cmd_tail;  // the handler's, on a cache line of its own
};

struct EntryHeader {
    uint32_t len_op;
    uint16_t cmd_id;
    uint8_t kflags;
    uint8_t uflags;
};

// A command entry: the request the kernel writes, and over it the answer.
struct CmdEntry {
    EntryHeader hdr;
    union {
        struct {
            uint32_t iov_cnt;
            uint32_t iov_bidi_cnt;
            uint32_t iov_dif_cnt;
            uint64_t cdb_off;
            uint64_t pad1;
            uint64_t pad2;
            // Then iov_cnt iovecs at kIovOffset: offsets into the mapping and lengths.
        } req;
        struct {
            uint8_t scsi_status;
            uint8_t pad1;
            uint16_t pad2;
            uint32_t read_len;
            char sense_buffer[kSenseBufferSize];
        } rsp;
    };
};

// An entry is at least this long: the answer must fit.
constexpr std::size_t kCmdEntrySize = 112;
constexpr std::size_t kIovOffset = 48;

static_assert(sizeof(Mailbox) == 128 && offsetof(Mailbox, cmd_head) == 12 && offsetof(Mailbox, cmd_tail) == 64);
static_assert(sizeof(EntryHeader) == 8);
static_assert(offsetof(CmdEntry, req.iov_cnt) == 8 && offsetof(CmdEntry, req.cdb_off) == 24 &&
              offsetof(CmdEntry, req.pad2) + 8 == kIovOffset);
static_assert(offsetof(CmdEntry, rsp.scsi_status) == 8 && offsetof(CmdEntry, rsp.read_len) == 12 &&
              offsetof(CmdEntry, rsp.sense_buffer) == 16 && 16 + kSenseBufferSize == kCmdEntrySize);

inline uint8_t EntryOp(uint32_t lenOp)
{
    return static_cast<uint8_t>(lenOp & kOpMask);
}

inline uint32_t EntryLength(uint32_t lenOp)
{
    return lenOp & ~kOpMask;
}

}  // namespace tcmu
