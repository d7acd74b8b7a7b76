#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// fail_block and drop_block name a block write by its position, counting
// from 0 (block 0 is the first block of an image); the last that exists is
// block 17 of an 18-block (1 MiB) image.
inline constexpr uint32_t kScenarioLastBlock = 17;

// One step of a device's plug timeline: drive D: + device, at atMs after
// the host was created, or, afterUpdate, atMs after the drive's last unit
// first answered with its new revision (a unit leaves once its flash is
// over, however long that took, and the next one follows it). A drive's steps
// happen in their order.
struct PlugEvent {
    int device = 0;  // 0 is drive D:
    bool attach = true;
    bool afterUpdate = false;
    uint32_t atMs = 0;
};

// What the emulated KT3916 devices do, from the scenario text
// "key=value,key=value". Every key is optional.
struct EmulatorScenario {
    int devices = 1;
    std::string vendor = "KTDEV";            // INQUIRY bytes 8..15, blank-padded
    std::string product = "KT3916 FLASHER";  // bytes 16..31, blank-padded to 16
    std::string revision = "1.00";           // bytes 32..35
    std::string newRevision = "1.10";        // revision after a good download
    uint32_t rebootMs = 12500;
    bool neverReturn = false;
    std::optional<uint32_t> failBlock;  // CHECK CONDITION on this block write (0-based, at most 17)
    uint8_t senseKey = 0x05;            // sense of fail_block: ILLEGAL REQUEST
    uint8_t senseAsc = 0x24;            // INVALID FIELD IN CDB
    uint8_t senseAscq = 0x00;
    std::optional<uint32_t> dropBlock;  // the pass-through call fails on this block write (0-based, at most 17)
    uint32_t latencyMs = 0;             // per command
    bool win9x = false;                 // Windows 9x platform with an ASPI layer
    // replug_ms=N: the unit leaves the bus when its restart begins and comes
    // back as a new attachment (a new LUN) N ms later, not before its restart
    // is over, as a unit on a USB bridge re-enumerates; with
    // replug_elsewhere=1 it comes back at another place (another target).
    std::optional<uint32_t> replugMs;
    bool replugElsewhere = false;
    // plug=E+5000/E-60000/E+90000: drives that come and go. A drive whose
    // first event attaches it is absent until then; each attach brings a new
    // unit with the scenario's first revision. Ordered by time per drive.
    // E-updated+500/E+updated+1500: E's unit leaves 500 ms after it answered
    // with its new revision, and the next unit comes a second later; a
    // drive's later steps wait for such a step.
    std::vector<PlugEvent> plugEvents;
    // serial=TEXT: each unit's serial number is TEXT, its drive letter and
    // its number on that drive (EMU-D1, then EMU-D2 for the next unit
    // plugged into D:), as the host would read it without asking the device.
    std::string serial = "EMU-";
};

// Parses the scenario text; an empty text gives the defaults. On an unknown
// key or a bad value returns false and names it in error.
bool ParseScenario(std::string_view text, EmulatorScenario& scenario, std::string& error);
