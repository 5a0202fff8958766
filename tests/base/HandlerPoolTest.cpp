// The operation storage of the relay path: every size gets room for all of its bytes, and a
// block given back is handed out again for its size.

#include <cstring>

#include <gtest/gtest.h>

#include "base/HandlerPool.h"

TEST(UnitHandlerPool, EverySizeGetsRoomForItselfAndGivenBackBlocksAreReused)
{
    // Under AddressSanitizer a block shorter than its size shows as soon as it is filled.
    for (std::size_t size = 1; size <= HandlerPool::kLargest + 64; ++size)
    {
        void* first = HandlerPool::Allocate(size);
        std::memset(first, 0xA5, size);
        HandlerPool::Deallocate(first, size);
        void* again = HandlerPool::Allocate(size);
        if (size <= HandlerPool::kLargest)
            EXPECT_EQ(first, again) << "size " << size;
        std::memset(again, 0x5A, size);
        HandlerPool::Deallocate(again, size);
    }
}
