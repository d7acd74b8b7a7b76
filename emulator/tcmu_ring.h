#pragma once
#include <cstddef>
#include <cstdint>

// The command ring that the kernel's user-space SCSI backstore shares with
// its handler: a mailbox, a circular list of entries and a data area, all in
// one mapping of the backstore's uio device. Entries are answered in ring
// order, which is the order the kernel queued them.
//
// Works on any memory laid out as the kernel lays it out, so the ring can be
// exercised without a kernel; nothing here allocates.
class CTcmuRing {
public:
    // One command as the ring presents it. The data lies scattered over the
    // data area; CopyDataOut and Complete gather and scatter it.
    struct Command {
        const uint8_t* cdb = nullptr;
        uint32_t cdbLength = 0;
        uint32_t dataLength = 0;
    };

    CTcmuRing(uint8_t* base, std::size_t size);

    // False when the mapping is not a mailbox of the version this handler speaks.
    bool Valid() const;

    // The oldest unanswered command, skipping padding and refusing requests
    // of other kinds (task management) on the way. False when none is queued.
    bool Next(Command& command);
    // True when another entry is queued behind the current one.
    bool MoreQueued() const;

    // Gathers up to length bytes of the current command's data into buffer.
    uint32_t CopyDataOut(uint8_t* buffer, uint32_t length) const;
    // Answers the current command: for status GOOD the first dataInLength
    // bytes of data go back to the initiator, for CHECK CONDITION the sense.
    // Moves on to the next entry; the kernel learns of it at Notify.
    void Complete(uint8_t status, const uint8_t* sense, uint32_t senseLength, const uint8_t* data,
                  uint32_t dataInLength);

private:
    uint8_t* Entry() const;
    uint32_t Head() const;
    uint32_t Tail() const;
    void Advance();

    uint8_t* m_base;
    std::size_t m_size;
};

// Opcodes whose data goes to the device; every other command with data
// receives it. The ring does not say which way the data flows.
bool TcmuDataOut(uint8_t opcode);
