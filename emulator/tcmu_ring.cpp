#include "emulator/tcmu_ring.h"

#include "emulator/tcmu_abi.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

// The mailbox fields the two sides update, read and written as whole words
// with the ordering the kernel pairs them with.
uint32_t LoadAcquire(const uint8_t* base, std::size_t offset)
{
    uint32_t value;
    std::memcpy(&value, base + offset, sizeof value);
    std::atomic_thread_fence(std::memory_order_acquire);
    return value;
}

void StoreRelease(uint8_t* base, std::size_t offset, uint32_t value)
{
    std::atomic_thread_fence(std::memory_order_release);
    std::memcpy(base + offset, &value, sizeof value);
}

tcmu::Mailbox* Mailbox(uint8_t* base)
{
    return reinterpret_cast<tcmu::Mailbox*>(base);
}

}  // namespace

CTcmuRing::CTcmuRing(uint8_t* base, std::size_t size) : m_base(base), m_size(size)
{
    if (m_base == nullptr || m_size < sizeof(tcmu::Mailbox))
        return;
    const tcmu::Mailbox* mb = Mailbox(m_base);
    m_nRingOff = mb->cmdr_off;
    m_nRingSize = mb->cmdr_size;
    m_nCursor = LoadAcquire(m_base, offsetof(tcmu::Mailbox, cmd_tail));
    m_bValid = mb->version == tcmu::kMailboxVersion && m_nRingOff >= sizeof(tcmu::Mailbox) &&
               m_nRingSize >= tcmu::kCmdEntrySize && std::size_t{m_nRingOff} + m_nRingSize <= m_size &&
               m_nCursor < m_nRingSize;
}

bool CTcmuRing::OutOfOrder() const
{
    return m_bValid && (Mailbox(m_base)->flags & tcmu::kCapOutOfOrder) != 0;
}

uint32_t CTcmuRing::Tail() const
{
    return LoadAcquire(m_base, offsetof(tcmu::Mailbox, cmd_tail));
}

uint32_t CTcmuRing::LenOp(uint32_t offset) const
{
    uint32_t lenOp;
    std::memcpy(&lenOp, m_base + m_nRingOff + offset + offsetof(tcmu::EntryHeader, len_op), sizeof lenOp);
    return lenOp;
}

uint32_t CTcmuRing::IovCount(uint32_t entry) const
{
    uint32_t count;
    std::memcpy(&count, m_base + m_nRingOff + entry + offsetof(tcmu::CmdEntry, req.iov_cnt), sizeof count);
    return count;
}

iovec CTcmuRing::Iov(uint32_t entry, uint32_t index) const
{
    iovec iov;
    std::memcpy(&iov, m_base + m_nRingOff + entry + tcmu::kIovOffset + index * sizeof(iovec), sizeof iov);
    return iov;
}

bool CTcmuRing::InDataArea(uint64_t offset, uint64_t length) const
{
    // The kernel places the data area right behind the command ring.
    const uint64_t start = uint64_t{m_nRingOff} + m_nRingSize;
    return offset >= start && offset <= m_size && length <= m_size - offset;
}

void CTcmuRing::SkipIdleEntries()
{
    // Entries between the tail and the cursor were checked when the cursor
    // passed them.
    uint32_t tail = Tail();
    while (tail != m_nCursor && tcmu::EntryOp(LenOp(tail)) != tcmu::kOpCmd)
        tail = (tail + tcmu::EntryLength(LenOp(tail))) % m_nRingSize;
    if (tail != Tail())
        StoreRelease(m_base, offsetof(tcmu::Mailbox, cmd_tail), tail);
}

const char* CTcmuRing::CheckCommand(uint32_t offset, uint32_t length, Command& command) const
{
    const uint32_t iovCount = IovCount(offset);
    uint64_t cdbOff;
    std::memcpy(&cdbOff, m_base + m_nRingOff + offset + offsetof(tcmu::CmdEntry, req.cdb_off), sizeof cdbOff);
    if (iovCount > (length - tcmu::kIovOffset) / sizeof(iovec))
        return "its iovec count reaches beyond the entry";
    // The CDB lies in the command ring, behind the entry's vectors.
    const uint64_t ringEnd = uint64_t{m_nRingOff} + m_nRingSize;
    if (cdbOff < m_nRingOff || cdbOff >= ringEnd)
        return "its CDB lies outside the command ring";
    // The kernel keeps as many CDB bytes as the opcode's group defines: a
    // 12-byte vendor command (group 7) arrives as 10.
    static constexpr uint8_t kGroupLength[8] = {6, 10, 10, 12, 16, 12, 10, 10};
    const uint32_t cdbLength = kGroupLength[m_base[cdbOff] >> 5];
    if (cdbOff + cdbLength > ringEnd)
        return "its CDB lies outside the command ring";
    uint64_t total = 0;
    for (uint32_t i = 0; i < iovCount; ++i) {
        const iovec iov = Iov(offset, i);
        if (!InDataArea(reinterpret_cast<std::uintptr_t>(iov.iov_base), iov.iov_len))
            return "an iovec lies outside the data area";
        total += iov.iov_len;
    }
    if (total > UINT32_MAX)
        return "its data is longer than 4 GiB";
    command.cdb = m_base + cdbOff;
    command.cdbLength = cdbLength;
    command.dataLength = static_cast<uint32_t>(total);
    return nullptr;
}

bool CTcmuRing::Next(Command& command)
{
    if (!m_bValid)
        return false;
    while (m_pBroken == nullptr) {
        const uint32_t head = LoadAcquire(m_base, offsetof(tcmu::Mailbox, cmd_head));
        if (head >= m_nRingSize) {
            m_pBroken = "the ring's head lies outside the command ring";
            return false;
        }
        if (m_nCursor == head)
            return false;
        // Entries never wrap: one that would is preceded by padding to the end.
        const uint32_t queued = (head + m_nRingSize - m_nCursor) % m_nRingSize;
        const uint32_t toEnd = m_nRingSize - m_nCursor;
        if (toEnd < sizeof(tcmu::EntryHeader)) {
            m_pBroken = "an entry header crosses the end of the command ring";
            return false;
        }
        const uint32_t length = tcmu::EntryLength(LenOp(m_nCursor));
        const uint8_t op = tcmu::EntryOp(LenOp(m_nCursor));
        // An answer is written over a command's entry, so it must hold one.
        const uint32_t least = op == tcmu::kOpCmd ? tcmu::kCmdEntrySize : sizeof(tcmu::EntryHeader);
        if (length < least || length > queued || length > toEnd) {
            m_pBroken = "an entry's length does not fit the command ring";
            return false;
        }
        const uint32_t offset = m_nCursor;
        m_nCursor = (m_nCursor + length) % m_nRingSize;
        if (op == tcmu::kOpCmd) {
            command = Command{};
            std::memcpy(&command.id, m_base + m_nRingOff + offset + offsetof(tcmu::EntryHeader, cmd_id),
                        sizeof command.id);
            command.entry = offset;
            command.fault = CheckCommand(offset, length, command);
            return true;
        }
        if (op != tcmu::kOpPad) {
            auto* header = reinterpret_cast<tcmu::EntryHeader*>(m_base + m_nRingOff + offset);
            header->uflags |= tcmu::kUflagUnknownOp;
        }
        SkipIdleEntries();
    }
    return false;
}

uint32_t CTcmuRing::CopyDataOut(const Command& command, uint8_t* buffer, uint32_t length) const
{
    if (command.fault != nullptr)
        return 0;
    const uint32_t iovCount = IovCount(command.entry);
    uint32_t copied = 0;
    for (uint32_t i = 0; i < iovCount && copied < length; ++i) {
        const iovec iov = Iov(command.entry, i);
        const uint32_t count = std::min<uint64_t>(iov.iov_len, length - copied);
        std::memcpy(buffer + copied, m_base + reinterpret_cast<std::uintptr_t>(iov.iov_base), count);
        copied += count;
    }
    return copied;
}

void CTcmuRing::Complete(const Command& command, uint8_t status, const uint8_t* sense, uint32_t senseLength,
                         const uint8_t* data, uint32_t dataInLength)
{
    // The data goes by the command's own vectors, before any answer is
    // written over an entry. Whatever the model did not fill reads as zeros:
    // the data area still holds bytes of earlier commands.
    uint32_t placed = 0;
    if (data != nullptr && command.fault == nullptr) {
        const uint32_t iovCount = IovCount(command.entry);
        for (uint32_t i = 0; i < iovCount; ++i) {
            const iovec iov = Iov(command.entry, i);
            uint8_t* target = m_base + reinterpret_cast<std::uintptr_t>(iov.iov_base);
            const uint32_t count = std::min<uint64_t>(iov.iov_len, dataInLength - placed);
            std::memcpy(target, data + placed, count);
            std::memset(target + count, 0, iov.iov_len - count);
            placed += count;
        }
    }
    SkipIdleEntries();
    const uint32_t tail = Tail();
    if (tail == m_nCursor)
        return;  // every command read is answered: this one was already
    auto* slot = reinterpret_cast<tcmu::CmdEntry*>(m_base + m_nRingOff + tail);
    slot->hdr.cmd_id = command.id;
    slot->hdr.uflags = 0;
    slot->rsp.scsi_status = status;
    std::memset(slot->rsp.sense_buffer, 0, sizeof slot->rsp.sense_buffer);
    if (sense != nullptr)
        std::memcpy(slot->rsp.sense_buffer, sense, std::min<uint32_t>(senseLength, tcmu::kSenseBufferSize));
    // With the read-length flag the initiator sees how much data really came
    // back, so a short answer shows as a residual.
    if ((Mailbox(m_base)->flags & tcmu::kCapReadLength) != 0) {
        slot->hdr.uflags |= tcmu::kUflagReadLength;
        slot->rsp.read_len = placed;
    }
    StoreRelease(m_base, offsetof(tcmu::Mailbox, cmd_tail), (tail + tcmu::EntryLength(LenOp(tail))) % m_nRingSize);
    SkipIdleEntries();
}
