#include <gtest/gtest.h>

#include "app/win32/frame_geometry.h"
#include "app/win32/menu_prompt.h"

namespace {

struct PlacementCase {
    int nFullWidth;
    int nFullHeight;
    int x;
    int y;
};

class FramePlacementTest : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(FramePlacementTest, CentresTheFixedFrameDroppingFractionsTowardZero)
{
    const PlacementCase& c = GetParam();
    FramePlacement placement = CenteredFramePlacement(c.nFullWidth, c.nFullHeight);
    EXPECT_EQ(placement.x, c.x);
    EXPECT_EQ(placement.y, c.y);
    EXPECT_EQ(placement.cx, 375);
    EXPECT_EQ(placement.cy, 285);
}

INSTANTIATE_TEST_SUITE_P(Screens, FramePlacementTest,
                         ::testing::Values(PlacementCase{1024, 738, 324, 226},  // even halves
                                           PlacementCase{1023, 737, 324, 226},  // odd: the half is dropped
                                           PlacementCase{375, 285, 0, 0},       // exactly the frame
                                           PlacementCase{300, 285, -37, 0},     // narrower: toward zero, not -38
                                           PlacementCase{1024, 200, 324, -42},  // lower: -85 / 2
                                           PlacementCase{374, 284, 0, 0},       // -1 / 2 is 0, not -1
                                           PlacementCase{1280, 1004, 452, 359}));

struct PromptCase {
    unsigned nItemId;
    unsigned nFlags;
    bool bMenuClosed;
    unsigned nExpected;
};

class MenuPromptTest : public ::testing::TestWithParam<PromptCase> {};

TEST_P(MenuPromptTest, PicksTheStringOfTheHighlightedItem)
{
    const PromptCase& c = GetParam();
    EXPECT_EQ(MenuPromptStringId(c.nItemId, c.nFlags, c.bMenuClosed), c.nExpected);
}

INSTANTIATE_TEST_SUITE_P(MenuSelect, MenuPromptTest,
                         ::testing::Values(PromptCase{0, 0xFFFF, true, 0xE001},        // menu closed: idle text
                                           PromptCase{0xE140, 0x0080, false, 0xE140},  // about item, highlighted
                                           PromptCase{0, 0x0090, false, 0},            // the popup itself: empty pane
                                           PromptCase{0xE140, 0x0810, false, 0},       // popup flag wins over the id
                                           PromptCase{0xE140, 0x0800, false, 0},       // separator
                                           PromptCase{0xF000, 0x2000, false, 0xEF00},  // SC_SIZE
                                           PromptCase{0xF010, 0x2000, false, 0xEF01},  // SC_MOVE
                                           PromptCase{0xF020, 0x2000, false, 0xEF02},  // SC_MINIMIZE
                                           PromptCase{0xF030, 0x2000, false, 0xEF03},  // SC_MAXIMIZE
                                           PromptCase{0xF060, 0x2000, false, 0xEF06},  // SC_CLOSE
                                           PromptCase{0xF120, 0x2000, false, 0xEF12},  // SC_RESTORE
                                           PromptCase{0xF130, 0x2000, false, 0xEF13},  // SC_TASKLIST
                                           PromptCase{0xF1F0, 0x2000, false,
                                                      0xF1F0},  // past the system range: its own id
                                           PromptCase{0xEFFF, 0x0000, false, 0xEFFF},
                                           // 0xFFFF flags with a menu handle is not a close.
                                           PromptCase{0xE140, 0xFFFF, false, 0}));

TEST(StatusPromptText, KeepsTheTextBeforeTheLineFeed)
{
    EXPECT_EQ(StatusPromptText(L"\u986f\u793a\u7a0b\u5f0f\n\u95dc\u65bc"), L"\u986f\u793a\u7a0b\u5f0f");
    EXPECT_EQ(StatusPromptText(L"CAP"), L"CAP");
    EXPECT_EQ(StatusPromptText(L"\nTip"), L"");
    EXPECT_EQ(StatusPromptText(L""), L"");
}

}  // namespace
