#pragma once
#include <cstdint>

// How an image of one of the two accepted lengths is cut into blocks. Every
// block but the final one carries 61440 image bytes; the final marker is the
// number of KiB of image data in the final block.
struct BlockPlan {
    uint32_t imageLength;
    uint32_t blockCount;
    uint32_t finalRequest;  // what the final read asks for
    uint32_t finalBytes;    // what is left of the image for it
    uint8_t finalMarker;
};

// The plan for an image of this length; null when the length is not flashable.
const BlockPlan* FindBlockPlan(int64_t imageLength);
