#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <cstring>
#include <string>
#include <vector>

#include "base/clock.h"
#include "device/command_result.h"
#include "device/emulated/scenario.h"
#include "device/transcript.h"

// How one command ended on the emulated device: Good, Check, or Lost when
// the unit does not answer (the call itself fails).
struct ScsiOutcome {
    CommandResult result = CommandResult::Good;
    uint8_t senseKey = 0;
    uint8_t asc = 0;
    uint8_t ascq = 0;
    uint32_t dataInLength = 0;  // bytes the device returned on a data-in command
};

// Sense the model reports, besides the scenario's own fail_block sense.
namespace kt3916_sense {
struct Code {
    uint8_t key, asc, ascq;
};
constexpr Code kInvalidOpcode{0x05, 0x20, 0x00};      // unknown operation code
constexpr Code kInvalidFieldInCdb{0x05, 0x24, 0x00};  // bad final flag, marker, page or direction
constexpr Code kSequenceError{0x05, 0x2C, 0x00};      // 0xFA outside download mode, 0xFF before 0x00
constexpr Code kBadTransferLength{0x05, 0x1A, 0x00};  // 0xFA with other than 61440 bytes
constexpr Code kImageTooLong{0x05, 0x21, 0x00};       // image would grow past 1 MiB
constexpr Code kBadImageLength{0x05, 0x26, 0x00};     // final block: total neither 512 KiB nor 1 MiB
constexpr Code kBadChecksum{0x0E, 0x1D, 0x00};        // final block: 16-bit sum differs (MISCOMPARE)
constexpr Code kMediumNotPresent{0x02, 0x3A, 0x00};   // a CD-ROM command that needs a disc
constexpr Code kBecomingReady{0x02, 0x04, 0x01};      // any command while a unit on a target restarts
}  // namespace kt3916_sense

// Fixed-format sense data as the unit returns it, for every face: response
// code 0x70, the key at byte 2, the additional length at byte 7, ASC and ASCQ
// at bytes 12 and 13.
constexpr std::size_t kFixedSenseLength = 18;
void FixedSense(const kt3916_sense::Code& code, uint8_t (&sense)[kFixedSenseLength]);
// The outcome's sense as far as a host's sense area of length bytes takes it.
inline void FixedSense(const ScsiOutcome& outcome, uint8_t* area, std::size_t length)
{
    uint8_t sense[kFixedSenseLength];
    FixedSense({outcome.senseKey, outcome.asc, outcome.ascq}, sense);
    std::memcpy(area, sense, std::min(length, sizeof sense));
}

// Which way a command's data goes, by its operation code alone: the unit's
// own commands and the ones an operating system sends a CD-ROM drive. A face
// whose transport does not say (a command ring, an ASPI request without
// direction bits) takes it from here, and the unit refuses a request that
// carries data the other way.
enum class DataDirection {
    None,
    In,
    Out
};
DataDirection CommandDirection(uint8_t opcode);

// How a restarting unit shows to the host that carries it.
enum class RestartFace {
    Gone,      // it left the bus: no command reaches it, the call itself fails
    NotReady,  // its target stays: every command ends in NOT READY, becoming ready
};

// Where a unit sits: what its transcript records say and how its restart shows.
struct UnitSeat {
    char drive = 'D';
    uint64_t startMs = 0;  // the records' t_ms count from here
    RestartFace restart = RestartFace::Gone;
};

// A model of one KT3916: standard INQUIRY data, download mode entered by
// START STOP UNIT 2, the 0xFA block protocol with its length and checksum
// check, the reboot window and the new revision. To the commands an operating
// system sends any CD-ROM drive (test unit ready, event status, capabilities,
// reads) it answers as a drive with no disc. Transport-neutral, so every
// host (pass-through, ASPI, the sg translation) can drive it. Not thread-safe:
// the host serialises the commands of one device.
//
// Every answer is decided here, in every state; a face only carries it: the
// in-process host to its handles, the served device to its command ring.
//
// fail_block and drop_block count the 0xFA commands the device received over
// its life, from 0; while it reboots it receives nothing. A refused block ends
// the image in progress, so a new one starts again with marker 0x00.
class EmulatedKt3916 {
public:
    // Transfers longer than this the unit refuses before touching the data.
    static constexpr uint32_t kMaxTransfer = 1u << 20;

    EmulatedKt3916(const EmulatorScenario& scenario, IClock& clock, const UnitSeat& seat = {});

    // Executes one 12-byte CDB. For data-in commands the device writes at most
    // what the command asks for into buffer; for data-out it reads length
    // bytes. With a record, fills the transcript record of the command.
    ScsiOutcome Execute(const uint8_t* cdb, bool dataIn, uint8_t* buffer, uint32_t length,
                        TranscriptRecord* record = nullptr);

    // With replug_ms: the unit left the bus for its restart and is not back.
    bool OffTheBus() const;
    // How often it came back after leaving; each return is a new attachment.
    uint32_t Returns() const;
    // When it first answered INQUIRY with its new revision: the moment a
    // flasher can see that its download took.
    std::optional<uint64_t> UpdateSeenMs() const { return m_updateSeenMs; }

private:
    friend struct Kt3916Probe;

    ScsiOutcome Answer(const uint8_t* cdb, bool dataIn, uint8_t* buffer, uint32_t length);
    void Record(const uint8_t* cdb, bool dataIn, const uint8_t* buffer, uint32_t length, const ScsiOutcome& outcome,
                TranscriptRecord& record) const;
    ScsiOutcome Inquiry(const uint8_t* cdb, bool dataIn, uint8_t* buffer, uint32_t length);
    ScsiOutcome StartStopUnit(const uint8_t* cdb);
    ScsiOutcome DriveWithoutDisc(const uint8_t* cdb, bool dataIn, uint8_t* buffer, uint32_t length);
    ScsiOutcome DriveData(const uint8_t* cdb, uint8_t* buffer, uint32_t length);
    ScsiOutcome WriteBlock(const uint8_t* cdb, bool dataIn, const uint8_t* buffer, uint32_t length);
    ScsiOutcome AbortImage(const kt3916_sense::Code& sense);
    bool RebootOver() const;
    void FinishRebootIfOver();

    EmulatorScenario m_scenario;
    IClock& m_clock;
    UnitSeat m_seat;
    bool m_bDownloadMode = false;
    std::string m_strRevision;
    uint32_t m_nBlockWrites = 0;
    bool m_bImageOpen = false;     // a 0x00 block started an image not yet finished
    std::vector<uint8_t> m_image;  // the image received so far
    std::vector<uint8_t> m_lastImage;
    bool m_bRebooting = false;
    uint64_t m_rebootDoneMs = 0;
    uint32_t m_nDepartures = 0;  // restarts it left the bus for (replug_ms)
    uint64_t m_backOnBusMs = 0;
    bool m_bUpdated = false;  // restarted after a good download
    std::optional<uint64_t> m_updateSeenMs;
};
