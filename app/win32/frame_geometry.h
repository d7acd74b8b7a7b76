#pragma once

// The main window has one fixed outer size and always stands centred in the
// client area of a full-screen window.
constexpr int kFrameWidth = 375;
constexpr int kFrameHeight = 285;

struct FramePlacement {
    int x;
    int y;
    int cx;
    int cy;
};

// The halves are integer divisions that drop the fraction toward zero, so on
// an area smaller than the frame the position is negative and rounded toward
// zero (a width of 300 gives -37, not -38).
constexpr FramePlacement CenteredFramePlacement(int nFullScreenWidth, int nFullScreenHeight)
{
    return FramePlacement{(nFullScreenWidth - kFrameWidth) / 2, (nFullScreenHeight - kFrameHeight) / 2, kFrameWidth,
                          kFrameHeight};
}
