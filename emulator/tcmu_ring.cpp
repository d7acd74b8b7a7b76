#include "emulator/tcmu_ring.h"

#include <linux/target_core_user.h>

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

tcmu_mailbox* Mailbox(uint8_t* base)
{
    return reinterpret_cast<tcmu_mailbox*>(base);
}

}  // namespace

bool TcmuDataOut(uint8_t opcode)
{
    switch (opcode) {
    case 0x0A:  // WRITE(6)
    case 0x15:  // MODE SELECT(6)
    case 0x2A:  // WRITE(10)
    case 0x2E:  // WRITE AND VERIFY(10)
    case 0x3B:  // WRITE BUFFER
    case 0x55:  // MODE SELECT(10)
    case 0x5D:  // SEND CUE SHEET
    case 0xAA:  // WRITE(12)
    case 0xBF:  // SEND DVD STRUCTURE
    case 0xFA:  // the KT3916's block write
        return true;
    default:
        return false;
    }
}

CTcmuRing::CTcmuRing(uint8_t* base, std::size_t size) : m_base(base), m_size(size) {}

bool CTcmuRing::Valid() const
{
    if (m_base == nullptr || m_size < sizeof(tcmu_mailbox))
        return false;
    const tcmu_mailbox* mb = Mailbox(m_base);
    return mb->version == TCMU_MAILBOX_VERSION && mb->cmdr_size != 0 &&
           std::size_t{mb->cmdr_off} + mb->cmdr_size <= m_size;
}

uint32_t CTcmuRing::Head() const
{
    return LoadAcquire(m_base, offsetof(tcmu_mailbox, cmd_head));
}

uint32_t CTcmuRing::Tail() const
{
    return LoadAcquire(m_base, offsetof(tcmu_mailbox, cmd_tail));
}

uint8_t* CTcmuRing::Entry() const
{
    return m_base + Mailbox(m_base)->cmdr_off + Tail();
}

void CTcmuRing::Advance()
{
    const auto* header = reinterpret_cast<const tcmu_cmd_entry_hdr*>(Entry());
    const uint32_t next = (Tail() + tcmu_hdr_get_len(header->len_op)) % Mailbox(m_base)->cmdr_size;
    StoreRelease(m_base, offsetof(tcmu_mailbox, cmd_tail), next);
}

bool CTcmuRing::Next(Command& command)
{
    while (Tail() != Head()) {
        auto* entry = reinterpret_cast<tcmu_cmd_entry*>(Entry());
        const uint8_t op = tcmu_hdr_get_op(entry->hdr.len_op);
        if (op == TCMU_OP_CMD) {
            const uint8_t* cdb = m_base + entry->req.cdb_off;
            command.cdb = cdb;
            // The kernel keeps as many CDB bytes as the opcode's group
            // defines: a 12-byte vendor command (group 7) arrives as 10.
            static constexpr uint8_t kGroupLength[8] = {6, 10, 10, 12, 16, 12, 10, 10};
            command.cdbLength = kGroupLength[cdb[0] >> 5];
            command.dataLength = 0;
            for (uint32_t i = 0; i < entry->req.iov_cnt; ++i)
                command.dataLength += static_cast<uint32_t>(entry->req.iov[i].iov_len);
            return true;
        }
        if (op != TCMU_OP_PAD)
            entry->hdr.uflags |= TCMU_UFLAG_UNKNOWN_OP;
        Advance();
    }
    return false;
}

bool CTcmuRing::MoreQueued() const
{
    if (Tail() == Head())
        return false;
    const auto* header = reinterpret_cast<const tcmu_cmd_entry_hdr*>(Entry());
    return (Tail() + tcmu_hdr_get_len(header->len_op)) % Mailbox(m_base)->cmdr_size != Head();
}

uint32_t CTcmuRing::CopyDataOut(uint8_t* buffer, uint32_t length) const
{
    const auto* entry = reinterpret_cast<const tcmu_cmd_entry*>(Entry());
    uint32_t copied = 0;
    for (uint32_t i = 0; i < entry->req.iov_cnt && copied < length; ++i) {
        const iovec& iov = entry->req.iov[i];
        const uint32_t count = std::min<uint32_t>(static_cast<uint32_t>(iov.iov_len), length - copied);
        std::memcpy(buffer + copied, m_base + reinterpret_cast<std::uintptr_t>(iov.iov_base), count);
        copied += count;
    }
    return copied;
}

void CTcmuRing::Complete(uint8_t status, const uint8_t* sense, uint32_t senseLength, const uint8_t* data,
                         uint32_t dataInLength)
{
    auto* entry = reinterpret_cast<tcmu_cmd_entry*>(Entry());
    // The request and the response share the entry: scatter the data by the
    // request's vectors before the response overwrites them.
    uint32_t placed = 0;
    for (uint32_t i = 0; i < entry->req.iov_cnt && placed < dataInLength; ++i) {
        const iovec& iov = entry->req.iov[i];
        const uint32_t count = std::min<uint32_t>(static_cast<uint32_t>(iov.iov_len), dataInLength - placed);
        std::memcpy(m_base + reinterpret_cast<std::uintptr_t>(iov.iov_base), data + placed, count);
        placed += count;
    }
    entry->rsp.scsi_status = status;
    std::memset(entry->rsp.sense_buffer, 0, sizeof entry->rsp.sense_buffer);
    if (sense != nullptr)
        std::memcpy(entry->rsp.sense_buffer, sense, std::min<uint32_t>(senseLength, TCMU_SENSE_BUFFERSIZE));
    // With the read-length flag the initiator sees how much data really came
    // back, so a short answer shows as a residual instead of stale bytes.
    if ((Mailbox(m_base)->flags & TCMU_MAILBOX_FLAG_CAP_READ_LEN) != 0) {
        entry->hdr.uflags |= TCMU_UFLAG_READ_LEN;
        entry->rsp.read_len = placed;
    }
    Advance();
}
