#include "form/block_plan.h"

#include "form/flash_view.h"

namespace {

constexpr BlockPlan kBlockPlans[] = {
    {kImageLength512K, 9, 32768, 32768, 0x20},
    {kImageLength1M, 18, 8192, 4096, 0x04},
};

}  // namespace

const BlockPlan* FindBlockPlan(int64_t imageLength)
{
    for (const BlockPlan& plan : kBlockPlans) {
        if (imageLength == plan.imageLength)
            return &plan;
    }
    return nullptr;
}
