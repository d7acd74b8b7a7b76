#pragma once
#include <cstddef>
#include <cstdint>

struct iovec;

// The command ring that the kernel's user-space SCSI backstore shares with
// its handler: a mailbox, a circular list of entries and a data area, all in
// one mapping of the backstore's uio device. Commands are read in ring order;
// answers fill the entries from the ring's tail in the order they are given,
// each naming its command, so a command may stay unanswered while later ones
// are answered (the kernel finds each command by its id).
//
// Every offset and length the kernel writes is checked against the mapping
// before it is used. Works on any memory laid out as the kernel lays it out,
// so the ring can be exercised without a kernel; nothing here allocates.
class CTcmuRing {
public:
    // One command as the ring presents it. The data lies scattered over the
    // data area; CopyDataOut and Complete gather and scatter it.
    struct Command {
        const uint8_t* cdb = nullptr;
        uint32_t cdbLength = 0;
        uint32_t dataLength = 0;
        uint16_t id = 0;
        uint32_t entry = 0;           // offset of its entry in the command ring
        const char* fault = nullptr;  // set when the entry is unusable: answer it with an error, read nothing
    };

    CTcmuRing(uint8_t* base, std::size_t size);

    // False when the mapping is not a mailbox of the version this handler speaks.
    bool Valid() const { return m_bValid; }
    // True when the kernel takes answers in any order; else a command that
    // stays unanswered holds back the answers of all behind it.
    bool OutOfOrder() const;

    // The next command not yet read, skipping padding and refusing requests
    // of other kinds (task management) on the way. False when none is queued
    // or the ring is broken.
    bool Next(Command& command);
    // Why the ring cannot be read any further (an entry whose length does not
    // fit the ring), or null. Commands already read can still be answered.
    const char* Broken() const { return m_pBroken; }

    // Gathers up to length bytes of a command's data into buffer. Only valid
    // until the command is answered.
    uint32_t CopyDataOut(const Command& command, uint8_t* buffer, uint32_t length) const;
    // Answers a command: with data, its first dataInLength bytes go back to
    // the initiator and the rest of its data area reads as zeros; with
    // CHECK CONDITION, the sense. The kernel learns of it at the next notify.
    void Complete(const Command& command, uint8_t status, const uint8_t* sense, uint32_t senseLength,
                  const uint8_t* data, uint32_t dataInLength);

private:
    uint32_t Tail() const;
    uint32_t LenOp(uint32_t offset) const;  // of the entry at offset
    uint32_t IovCount(uint32_t entry) const;
    iovec Iov(uint32_t entry, uint32_t index) const;
    // Moves the tail past entries that carry no command, up to the cursor.
    void SkipIdleEntries();
    const char* CheckCommand(uint32_t offset, uint32_t length, Command& command) const;
    bool InDataArea(uint64_t offset, uint64_t length) const;

    uint8_t* m_base;
    bool m_bValid = false;
    std::size_t m_size;
    uint32_t m_nRingOff = 0;
    uint32_t m_nRingSize = 0;
    uint32_t m_nCursor = 0;  // the next entry to read; the tail trails it by the unanswered ones
    const char* m_pBroken = nullptr;
};
