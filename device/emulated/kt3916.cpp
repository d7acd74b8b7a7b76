#include "device/emulated/kt3916.h"

#include <algorithm>
#include <cstring>

#include "base/sha256.h"
#include "device/byte_sum.h"
#include "device/command_set.h"

namespace {

constexpr uint32_t kMaxFinalKiB = kBlockLength / 1024;  // 60

constexpr uint32_t kInquiryDataLength = 36;

// What an operating system sends any CD-ROM drive.
constexpr uint8_t kOpTestUnitReady = 0x00;
constexpr uint8_t kOpRequestSense = 0x03;
constexpr uint8_t kOpPreventAllowRemoval = 0x1E;
constexpr uint8_t kOpModeSense6 = 0x1A;
constexpr uint8_t kOpModeSense10 = 0x5A;
constexpr uint8_t kOpGetConfiguration = 0x46;
constexpr uint8_t kOpGetEventStatus = 0x4A;
constexpr uint8_t kCapabilitiesPage = 0x2A;
constexpr uint8_t kAllPages = 0x3F;
constexpr uint8_t kMediaEventClass = 0x10;

ScsiOutcome Good()
{
    return {};
}

ScsiOutcome Check(const kt3916_sense::Code& sense)
{
    return {CommandResult::Check, sense.key, sense.asc, sense.ascq};
}

// A request whose data goes the other way than the command's.
bool AgainstDirection(const uint8_t* cdb, bool dataIn)
{
    switch (CommandDirection(cdb[0])) {
    case DataDirection::In:
        return !dataIn;
    case DataDirection::Out:
        return dataIn;
    case DataDirection::None:
        break;
    }
    return false;
}

// Returns data to the host: at most the allocation length of the CDB and the
// length of the host's buffer.
ScsiOutcome DataIn(const uint8_t* data, uint32_t size, uint32_t allocationLength, uint8_t* buffer, uint32_t length)
{
    const uint32_t count = buffer == nullptr ? 0 : std::min({size, allocationLength, length});
    if (count != 0)
        std::memcpy(buffer, data, count);
    ScsiOutcome outcome;
    outcome.dataInLength = count;
    return outcome;
}

void PutBlankPadded(uint8_t* field, std::size_t width, const std::string& text)
{
    std::memset(field, ' ', width);
    std::memcpy(field, text.data(), std::min(width, text.size()));
}

}  // namespace

void FixedSense(const kt3916_sense::Code& code, uint8_t (&sense)[kFixedSenseLength])
{
    std::memset(sense, 0, sizeof sense);
    sense[0] = 0x70;
    sense[2] = code.key;
    sense[7] = kFixedSenseLength - 8;
    sense[12] = code.asc;
    sense[13] = code.ascq;
}

DataDirection CommandDirection(uint8_t opcode)
{
    switch (opcode) {
    case 0x00:  // TEST UNIT READY
    case 0x1B:  // START STOP UNIT
    case 0x1E:  // PREVENT ALLOW MEDIUM REMOVAL
        return DataDirection::None;
    case 0x0A:  // WRITE(6)
    case 0x15:  // MODE SELECT(6)
    case 0x2A:  // WRITE(10)
    case 0x2E:  // WRITE AND VERIFY(10)
    case 0x3B:  // WRITE BUFFER
    case 0x55:  // MODE SELECT(10)
    case 0x5D:  // SEND CUE SHEET
    case 0xAA:  // WRITE(12)
    case 0xBF:  // SEND DVD STRUCTURE
    case kOpBlockWrite:
        return DataDirection::Out;
    default:
        return DataDirection::In;
    }
}

EmulatedKt3916::EmulatedKt3916(const EmulatorScenario& scenario, IClock& clock, const UnitSeat& seat)
    : m_scenario(scenario), m_clock(clock), m_seat(seat), m_strRevision(scenario.revision)
{
}

ScsiOutcome EmulatedKt3916::Execute(const uint8_t* cdb, bool dataIn, uint8_t* buffer, uint32_t length,
                                    TranscriptRecord* record)
{
    const ScsiOutcome outcome = Answer(cdb, dataIn, buffer, length);
    if (record != nullptr)
        Record(cdb, dataIn, buffer, length, outcome, *record);
    return outcome;
}

void EmulatedKt3916::Record(const uint8_t* cdb, bool dataIn, const uint8_t* buffer, uint32_t length,
                            const ScsiOutcome& outcome, TranscriptRecord& record) const
{
    record = TranscriptRecord{};
    record.tMs = m_clock.NowMs() - m_seat.startMs;
    record.drive = m_seat.drive;
    std::memcpy(record.cdb, cdb, sizeof record.cdb);
    record.dataIn = dataIn;
    record.length = length;
    record.result = CommandResultName(outcome.result);
    if (outcome.result == CommandResult::Check) {
        record.sense[0] = outcome.senseKey;
        record.sense[1] = outcome.asc;
        record.sense[2] = outcome.ascq;
    }
    // A transfer longer than the unit takes is digested as far as its
    // buffer reaches.
    if (!dataIn)
        Sha256Hex(buffer, buffer == nullptr ? 0 : std::min(length, kMaxTransfer), record.dataSha256);
}

ScsiOutcome EmulatedKt3916::Answer(const uint8_t* cdb, bool dataIn, uint8_t* buffer, uint32_t length)
{
    if (length > kMaxTransfer)
        return Check(kt3916_sense::kInvalidFieldInCdb);
    FinishRebootIfOver();
    if (m_bRebooting) {
        // Nothing reaches a restarting unit: it neither counts blocks nor
        // changes state.
        if (m_seat.restart == RestartFace::NotReady)
            return Check(kt3916_sense::kBecomingReady);
        return {CommandResult::Lost};
    }
    switch (cdb[0]) {
    case kOpInquiry:
        return Inquiry(cdb, dataIn, buffer, length);
    case kOpStartStopUnit:
        return StartStopUnit(cdb);
    case kOpBlockWrite:
        return WriteBlock(cdb, dataIn, buffer, length);
    default:
        return DriveWithoutDisc(cdb, dataIn, buffer, length);
    }
}

ScsiOutcome EmulatedKt3916::Inquiry(const uint8_t* cdb, bool dataIn, uint8_t* buffer, uint32_t length)
{
    // Standard data only: no vital product data pages.
    if (AgainstDirection(cdb, dataIn) || (cdb[1] & 0x01) != 0 || cdb[2] != 0)
        return Check(kt3916_sense::kInvalidFieldInCdb);
    uint8_t data[kInquiryDataLength] = {};
    data[0] = 0x05;  // peripheral type: CD-ROM class
    data[1] = 0x80;  // removable medium
    data[2] = 0x02;  // version
    data[3] = 0x02;  // response data format
    data[4] = kInquiryDataLength - 5;
    PutBlankPadded(data + 8, 8, m_scenario.vendor);
    PutBlankPadded(data + 16, 16, m_scenario.product);
    PutBlankPadded(data + 32, 4, m_strRevision);
    if (m_bUpdated && !m_updateSeenMs)
        m_updateSeenMs = m_clock.NowMs();
    return DataIn(data, kInquiryDataLength, cdb[4], buffer, length);
}

ScsiOutcome EmulatedKt3916::StartStopUnit(const uint8_t* cdb)
{
    // Any other value is accepted and leaves the mode as it is. Entering the
    // mode again drops a half-sent image, so a new download starts clean.
    if (cdb[4] == kEnterDownloadMode) {
        m_bDownloadMode = true;
        m_bImageOpen = false;
        m_image.clear();
    }
    return Good();
}

ScsiOutcome EmulatedKt3916::AbortImage(const kt3916_sense::Code& sense)
{
    m_bImageOpen = false;
    m_image.clear();
    return Check(sense);
}

ScsiOutcome EmulatedKt3916::WriteBlock(const uint8_t* cdb, bool dataIn, const uint8_t* buffer, uint32_t length)
{
    uint32_t index = m_nBlockWrites++;
    if (m_scenario.dropBlock && *m_scenario.dropBlock == index) {
        m_bImageOpen = false;
        m_image.clear();
        return {CommandResult::Lost};
    }
    if (m_scenario.failBlock && *m_scenario.failBlock == index)
        return AbortImage({m_scenario.senseKey, m_scenario.senseAsc, m_scenario.senseAscq});
    if (!m_bDownloadMode)
        return Check(kt3916_sense::kSequenceError);

    const uint8_t finalFlag = cdb[3];
    const uint8_t marker = cdb[5];
    if (AgainstDirection(cdb, dataIn) || finalFlag > 1)
        return AbortImage(kt3916_sense::kInvalidFieldInCdb);
    if (length != kBlockLength || buffer == nullptr)
        return AbortImage(kt3916_sense::kBadTransferLength);

    if (finalFlag == 0) {
        if (marker == kMarkerStart) {
            m_image.clear();
            m_image.reserve(kImageLength1M);
            m_bImageOpen = true;
        } else if (marker != kMarkerContinue) {
            return AbortImage(kt3916_sense::kInvalidFieldInCdb);
        } else if (!m_bImageOpen) {
            return Check(kt3916_sense::kSequenceError);
        }
        if (m_image.size() + kBlockLength > kImageLength1M)
            return AbortImage(kt3916_sense::kImageTooLong);
        m_image.insert(m_image.end(), buffer, buffer + kBlockLength);
        return Good();
    }

    // Final block: its marker is the number of KiB of image data it carries;
    // the rest of the 61440 bytes is whatever the host's buffer held.
    if (marker == 0 || marker > kMaxFinalKiB)
        return AbortImage(kt3916_sense::kInvalidFieldInCdb);
    if (!m_bImageOpen)
        return Check(kt3916_sense::kSequenceError);
    const uint32_t dataBytes = marker * 1024u;
    if (m_image.size() + dataBytes > kImageLength1M)
        return AbortImage(kt3916_sense::kImageTooLong);
    m_image.insert(m_image.end(), buffer, buffer + dataBytes);
    if (m_image.size() != kImageLength512K && m_image.size() != kImageLength1M)
        return AbortImage(kt3916_sense::kBadImageLength);
    const uint16_t sum = static_cast<uint16_t>(SumBytes(m_image.data(), m_image.size()));
    const uint16_t expected = static_cast<uint16_t>((cdb[6] << 8) | cdb[7]);
    if (sum != expected)
        return AbortImage(kt3916_sense::kBadChecksum);

    m_lastImage.swap(m_image);
    m_image.clear();
    m_bImageOpen = false;
    m_bRebooting = true;
    m_rebootDoneMs = m_clock.NowMs() + m_scenario.rebootMs;
    if (m_scenario.replugMs) {
        // A unit enumerates only once its firmware runs again.
        ++m_nDepartures;
        m_backOnBusMs = std::max(m_clock.NowMs() + *m_scenario.replugMs, m_rebootDoneMs);
    }
    return Good();
}

bool EmulatedKt3916::OffTheBus() const
{
    return m_nDepartures != 0 && (m_scenario.neverReturn || m_clock.NowMs() < m_backOnBusMs);
}

uint32_t EmulatedKt3916::Returns() const
{
    return m_nDepartures - (OffTheBus() ? 1 : 0);
}

bool EmulatedKt3916::RebootOver() const
{
    return m_bRebooting && !m_scenario.neverReturn && m_clock.NowMs() >= m_rebootDoneMs;
}

void EmulatedKt3916::FinishRebootIfOver()
{
    if (!RebootOver())
        return;
    m_bRebooting = false;
    m_bDownloadMode = false;
    m_strRevision = m_scenario.newRevision;
    m_bUpdated = true;
}

ScsiOutcome EmulatedKt3916::DriveWithoutDisc(const uint8_t* cdb, bool dataIn, uint8_t* buffer, uint32_t length)
{
    // Commands that read the disc or its layout: there is none.
    static constexpr uint8_t kNeedsDisc[] = {
        0x25,  // READ CAPACITY
        0x28,  // READ(10)
        0x42,  // READ SUB-CHANNEL
        0x43,  // READ TOC/PMA/ATIP
        0x44,  // READ HEADER
        0x51,  // READ DISC INFORMATION
        0x52,  // READ TRACK INFORMATION
        0xA8,  // READ(12)
        0xBE,  // READ CD
    };
    if (std::find(std::begin(kNeedsDisc), std::end(kNeedsDisc), cdb[0]) != std::end(kNeedsDisc))
        return Check(kt3916_sense::kMediumNotPresent);

    switch (cdb[0]) {
    case kOpTestUnitReady:
        return Check(kt3916_sense::kMediumNotPresent);
    case kOpPreventAllowRemoval:
        return Good();
    case kOpRequestSense:
    case kOpGetEventStatus:
    case kOpGetConfiguration:
    case kOpModeSense6:
    case kOpModeSense10:
        if (AgainstDirection(cdb, dataIn))
            return Check(kt3916_sense::kInvalidFieldInCdb);
        return DriveData(cdb, buffer, length);
    default:
        return Check(kt3916_sense::kInvalidOpcode);
    }
}

ScsiOutcome EmulatedKt3916::DriveData(const uint8_t* cdb, uint8_t* buffer, uint32_t length)
{
    switch (cdb[0]) {
    case kOpRequestSense: {
        uint8_t sense[kFixedSenseLength];
        FixedSense(kt3916_sense::kMediumNotPresent, sense);
        return DataIn(sense, sizeof sense, cdb[4], buffer, length);
    }
    case kOpGetEventStatus: {
        // Polled media class only: no change, no medium, tray closed.
        if ((cdb[1] & 0x01) == 0 || (cdb[4] & kMediaEventClass) == 0)
            return Check(kt3916_sense::kInvalidFieldInCdb);
        const uint8_t events[8] = {0x00, 0x06, 0x04, kMediaEventClass, 0x00, 0x00, 0x00, 0x00};
        return DataIn(events, sizeof events, (cdb[7] << 8) | cdb[8], buffer, length);
    }
    case kOpGetConfiguration: {
        // The feature header alone: no current profile without a disc.
        const uint8_t header[8] = {0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00};
        return DataIn(header, sizeof header, (cdb[7] << 8) | cdb[8], buffer, length);
    }
    case kOpModeSense6:
    case kOpModeSense10: {
        // The capabilities page of a read-only tray-loading drive; no other
        // page. The 6-byte command has a 4-byte header, the 10-byte one 8.
        const uint8_t page = cdb[2] & 0x3F;
        if (page != kCapabilitiesPage && page != kAllPages)
            return Check(kt3916_sense::kInvalidFieldInCdb);
        // Page code and length; lock, eject and tray loading (byte 6); the
        // maximum and current read speeds (bytes 8 and 14, 706 kB/s).
        const uint8_t capabilities[20] = {0x2A, 0x12, 0x00, 0x00, 0x00, 0x00, 0x29, 0x00, 0x02, 0xC2,
                                          0x00, 0x00, 0x00, 0x00, 0x02, 0xC2, 0x00, 0x00, 0x00, 0x00};
        static_assert(kCapabilitiesPage == 0x2A);
        uint8_t data[8 + sizeof capabilities] = {};
        const bool six = cdb[0] == kOpModeSense6;
        const uint32_t header = six ? 4 : 8;
        const uint32_t total = header + sizeof capabilities;
        if (six) {
            data[0] = static_cast<uint8_t>(total - 1);
            data[1] = 0x70;  // medium type: no disc, door closed
        } else {
            data[1] = static_cast<uint8_t>(total - 2);
            data[2] = 0x70;
        }
        std::memcpy(data + header, capabilities, sizeof capabilities);
        return DataIn(data, total, six ? cdb[4] : (cdb[7] << 8) | cdb[8], buffer, length);
    }
    default:
        return Check(kt3916_sense::kInvalidOpcode);
    }
}
