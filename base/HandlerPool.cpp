#include "base/HandlerPool.h"

#include <new>

namespace
{
/// Sizes are rounded up to this, which gives kLargest / kGrain lists.
constexpr std::size_t kGrain = 64;
constexpr std::size_t kClasses = HandlerPool::kLargest / kGrain;
/// Free blocks kept per list; more are given back to the heap, so that a burst of operations
/// (ten thousand sessions that come and go) does not stay in the lists for good.
constexpr std::size_t kKept = 1024;

/// One thread's free blocks, by size class.
class FreeLists
{
public:
    /// A free block; its first bytes link it to the next.
    struct Block
    {
        /// The next free block of the same class.
        Block* next;
    };

    /// Returns every free block to the heap when the thread ends.
    ~FreeLists()
    {
        for (Block* head : heads)
        {
            while (head != nullptr)
            {
                Block* block = head;
                head = block->next;
                ::operator delete(block);
            }
        }
    }

    /// The first free block of each class.
    Block* heads[kClasses] = {};
    /// Number of free blocks of each class.
    std::size_t counts[kClasses] = {};
};

thread_local FreeLists lists;

std::size_t ClassOf(std::size_t size)
{
    return (size + kGrain - 1) / kGrain - 1;
}
} // namespace

void* HandlerPool::Allocate(std::size_t size)
{
    if (size == 0 || size > kLargest)
        return ::operator new(size);
    const std::size_t kind = ClassOf(size);
    FreeLists::Block* block = lists.heads[kind];
    if (block == nullptr)
        return ::operator new((kind + 1) * kGrain);
    lists.heads[kind] = block->next;
    --lists.counts[kind];
    return block;
}

void HandlerPool::Deallocate(void* pointer, std::size_t size)
{
    if (size == 0 || size > kLargest)
    {
        ::operator delete(pointer);
        return;
    }
    const std::size_t kind = ClassOf(size);
    if (lists.counts[kind] >= kKept)
    {
        ::operator delete(pointer);
        return;
    }
    FreeLists::Block* block = static_cast<FreeLists::Block*>(pointer);
    block->next = lists.heads[kind];
    lists.heads[kind] = block;
    ++lists.counts[kind];
}
