#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "device/emulated/kt3916.h"
#include "emulated_support.h"

using namespace emu_test;

namespace {

enum class UnitState {
    Fresh,       // as it comes from the box
    Restarting,  // after a good final block, before reboot_ms
    Silent,      // never_return=1, a day after its final block
    Restarted,   // reboot_ms after its final block
};

// A unit on the given seat, brought into the state by a whole image.
std::unique_ptr<EmulatedKt3916> UnitIn(UnitState state, RestartFace face, ManualClock& clock)
{
    EmulatorScenario scenario;
    scenario.rebootMs = 1000;
    scenario.neverReturn = state == UnitState::Silent;
    auto unit = std::make_unique<EmulatedKt3916>(scenario, clock, UnitSeat{'D', 0, face});
    if (state == UnitState::Fresh)
        return unit;
    std::vector<uint8_t> buffer(512);
    unit->Execute(StartStopCdb(2).bytes, true, buffer.data(), 512);
    const std::vector<uint8_t> image = MakeImage(k512K, 9);
    EXPECT_EQ(Describe(SendImageLikeForm(image, ImageChecksum(image), ModelSender(*unit)).back()), "good");
    clock.Advance(state == UnitState::Restarting ? 999 : state == UnitState::Restarted ? 1000 : 86400000);
    return unit;
}

// What a unit answers in each state, on a seat where a restart takes it off
// the bus and on one where its target stays.
TEST(UnitAnswers, EveryStateOnBothSeats)
{
    struct Case {
        UnitState state;
        Cdb cdb;
        bool dataIn;
        const char* gone;
        const char* notReady;
    };
    const Cdb unitReady{};
    const Case cases[] = {
        {UnitState::Fresh, InquiryCdb(), true, "good", "good"},
        {UnitState::Fresh, unitReady, true, "check 02/3A/00", "check 02/3A/00"},
        {UnitState::Fresh, WriteBlockCdb(0, 0, 0x00), false, "check 05/2C/00", "check 05/2C/00"},
        {UnitState::Restarting, InquiryCdb(), true, "fail", "check 02/04/01"},
        {UnitState::Restarting, unitReady, true, "fail", "check 02/04/01"},
        {UnitState::Restarting, StartStopCdb(2), true, "fail", "check 02/04/01"},
        {UnitState::Restarting, WriteBlockCdb(0, 0, 0x00), false, "fail", "check 02/04/01"},
        {UnitState::Silent, InquiryCdb(), true, "fail", "check 02/04/01"},
        {UnitState::Restarted, InquiryCdb(), true, "good", "good"},
        {UnitState::Restarted, unitReady, true, "check 02/3A/00", "check 02/3A/00"},
        {UnitState::Restarted, WriteBlockCdb(0, 0, 0x00), false, "check 05/2C/00", "check 05/2C/00"},
    };
    for (const Case& c : cases) {
        for (RestartFace face : {RestartFace::Gone, RestartFace::NotReady}) {
            SCOPED_TRACE("state " + std::to_string(static_cast<int>(c.state)) + " opcode " +
                         std::to_string(c.cdb.bytes[0]) + (face == RestartFace::Gone ? " gone" : " not ready"));
            ManualClock clock;
            auto unit = UnitIn(c.state, face, clock);
            const uint32_t blocks = Probe(*unit).BlockWrites();
            std::vector<uint8_t> buffer(kBlock, 0x11);
            EXPECT_EQ(Describe(unit->Execute(c.cdb.bytes, c.dataIn, buffer.data(), c.dataIn ? 36 : kBlock)),
                      face == RestartFace::Gone ? c.gone : c.notReady);
            if (c.state == UnitState::Restarting || c.state == UnitState::Silent) {
                EXPECT_EQ(Probe(*unit).BlockWrites(), blocks) << "a restarting unit received a command";
            }
        }
    }
}

// A request whose data goes against its command is refused; commands that
// move no data take it either way.
TEST(UnitAnswers, RequestsAgainstTheCommandsDirection)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> cdb;
        bool dataIn;
        uint32_t length;
        const char* outcome;
    };
    const Case cases[] = {
        {"REQUEST SENSE sending data", {0x03, 0, 0, 0, 18}, false, 18, "check 05/24/00"},
        {"MODE SENSE(10) sending data", {0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 0x80}, false, 64, "check 05/24/00"},
        {"GET CONFIGURATION sending data", {0x46, 0, 0, 0, 0, 0, 0, 0, 0x20}, false, 32, "check 05/24/00"},
        {"event status sending data", {0x4A, 1, 0, 0, 0x10, 0, 0, 0, 8}, false, 8, "check 05/24/00"},
        {"TEST UNIT READY sending", {0x00}, false, 0, "check 02/3A/00"},
        {"PREVENT ALLOW sending", {0x1E, 0, 0, 0, 1}, false, 0, "good"},
        {"READ(10) sending: no disc first", {0x28, 0, 0, 0, 0, 0, 0, 0, 1}, false, 64, "check 02/3A/00"},
        {"WRITE(10) reading: unknown first", {0x2A}, true, 64, "check 05/20/00"},
        {"INQUIRY past the unit's transfer",
         {0x12, 0, 0, 0, 36},
         true,
         EmulatedKt3916::kMaxTransfer + 1,
         "check 05/24/00"},
    };
    for (const Case& c : cases) {
        ManualClock clock;
        EmulatedKt3916 unit({}, clock);
        Cdb cdb;
        std::copy(c.cdb.begin(), c.cdb.end(), cdb.bytes);
        std::vector<uint8_t> buffer(64, 0xAA);
        EXPECT_EQ(Describe(unit.Execute(cdb.bytes, c.dataIn, c.length <= 64 ? buffer.data() : nullptr, c.length)),
                  c.outcome)
            << c.name;
    }
}

}  // namespace
