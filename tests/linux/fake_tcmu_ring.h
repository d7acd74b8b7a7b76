#pragma once
#include "emulator/tcmu_abi.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

// A command ring in ordinary memory, laid out as the kernel lays it out: the
// mailbox, the command ring behind it and the data area behind that. Queues
// entries the way the kernel does (padding where an entry would wrap).
class CFakeTcmuRing {
public:
    static constexpr uint32_t kRingOff = sizeof(tcmu::Mailbox);
    static constexpr uint32_t kRingSize = 4096;
    static constexpr uint32_t kDataOff = kRingOff + kRingSize;
    static constexpr uint32_t kSize = 256 * 1024;

    explicit CFakeTcmuRing(uint16_t flags = tcmu::kCapReadLength | tcmu::kCapOutOfOrder) : m_memory(kSize / 8)
    {
        tcmu::Mailbox* mb = Mailbox();
        mb->version = tcmu::kMailboxVersion;
        mb->flags = flags;
        mb->cmdr_off = kRingOff;
        mb->cmdr_size = kRingSize;
        // Earlier commands' bytes, which no answer may hand out again.
        std::memset(Base() + kDataOff, 0xEE, kSize - kDataOff);
    }

    uint8_t* Base() { return reinterpret_cast<uint8_t*>(m_memory.data()); }
    tcmu::Mailbox* Mailbox() { return reinterpret_cast<tcmu::Mailbox*>(Base()); }
    tcmu::CmdEntry* Entry(uint32_t offset) { return reinterpret_cast<tcmu::CmdEntry*>(Base() + kRingOff + offset); }
    // The entry's i-th data vector.
    iovec* Iov(uint32_t offset, uint32_t i)
    {
        return reinterpret_cast<iovec*>(Base() + kRingOff + offset + tcmu::kIovOffset + i * sizeof(iovec));
    }

    // Queues a command with one data vector per length; returns its entry's offset.
    uint32_t Queue(uint16_t id, const std::vector<uint8_t>& cdb, const std::vector<uint32_t>& iovLengths)
    {
        const uint32_t base = tcmu::kIovOffset + iovLengths.size() * sizeof(iovec);
        uint32_t length = (base + static_cast<uint32_t>(cdb.size()) + 7) & ~7u;
        if (length < tcmu::kCmdEntrySize)
            length = tcmu::kCmdEntrySize;
        if (Mailbox()->cmd_head + length > kRingSize)
            Pad(kRingSize - Mailbox()->cmd_head);
        const uint32_t offset = Mailbox()->cmd_head;
        tcmu::CmdEntry* entry = Entry(offset);
        std::memset(entry, 0, length);
        entry->hdr.len_op = length | tcmu::kOpCmd;
        entry->hdr.cmd_id = id;
        entry->req.iov_cnt = static_cast<uint32_t>(iovLengths.size());
        entry->req.cdb_off = kRingOff + offset + base;
        std::memcpy(Base() + entry->req.cdb_off, cdb.data(), cdb.size());
        for (std::size_t i = 0; i < iovLengths.size(); ++i) {
            Iov(offset, static_cast<uint32_t>(i))->iov_base = reinterpret_cast<void*>(std::uintptr_t{m_nDataNext});
            Iov(offset, static_cast<uint32_t>(i))->iov_len = iovLengths[i];
            m_nDataNext += iovLengths[i];
        }
        Mailbox()->cmd_head = (offset + length) % kRingSize;
        return offset;
    }

    // Queues an entry of another kind (padding, task management).
    void Queue(uint8_t op, uint32_t length)
    {
        tcmu::EntryHeader* header = &Entry(Mailbox()->cmd_head)->hdr;
        header->len_op = length | op;
        header->uflags = 0;
        Mailbox()->cmd_head = (Mailbox()->cmd_head + length) % kRingSize;
    }
    void Pad(uint32_t length) { Queue(tcmu::kOpPad, length); }

    uint8_t* Data(uint32_t offset) { return Base() + offset; }
    uint32_t DataNext() const { return m_nDataNext; }
    uint32_t Tail() { return Mailbox()->cmd_tail; }
    uint32_t Head() { return Mailbox()->cmd_head; }

private:
    std::vector<uint64_t> m_memory;  // 8-byte aligned, as the mapping is
    uint32_t m_nDataNext = kDataOff;
};
