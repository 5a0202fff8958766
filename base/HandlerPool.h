#pragma once

#include <cstddef>
#include <utility>

/// Recycled storage for the asynchronous operations of the relay path, so that a steady stream
/// of reads and writes costs no heap allocation (the asio "allocation" example, with free lists
/// per thread and size instead of one block per object: ten thousand idle sessions then hold no
/// more memory than their pending reads already did).
///
/// Each thread recycles through lists of its own, so nothing is locked; a block given back on
/// another thread than the one that took it simply joins that thread's lists.
class HandlerPool
{
public:
    /// Largest operation served from the lists; a larger one goes to the heap every time.
    static constexpr std::size_t kLargest = 512;

    /// size bytes for an operation: a recycled block of its size class when there is one.
    static void* Allocate(std::size_t size);
    /// Gives back what Allocate returned for size bytes.
    static void Deallocate(void* pointer, std::size_t size);

    /// The allocator asio finds on a handler made by Wrap; every one draws on the same lists.
    template <typename T>
    class Allocator
    {
    public:
        /// What the allocator hands out.
        using value_type = T;

        /// An allocator of the lists.
        Allocator() noexcept = default;
        /// The same lists, for another type.
        template <typename U>
        Allocator(const Allocator<U>&) noexcept
        {
        }
        /// Room for n objects of T.
        T* allocate(std::size_t n) const { return static_cast<T*>(Allocate(sizeof(T) * n)); }
        /// Gives back the room for n objects of T.
        void deallocate(T* pointer, std::size_t n) const { Deallocate(pointer, sizeof(T) * n); }
        /// Always true: any allocator can give back what another took.
        template <typename U>
        bool operator==(const Allocator<U>&) const noexcept
        {
            return true;
        }
        /// Always false.
        template <typename U>
        bool operator!=(const Allocator<U>&) const noexcept
        {
            return false;
        }
    };

    /// A completion handler whose operation asio stores through Allocator.
    template <typename Handler>
    class Bound
    {
    public:
        /// Tells asio where to store the operation.
        using allocator_type = Allocator<Handler>;

        /// Wraps handler.
        explicit Bound(Handler handler) : handler(std::move(handler)) {}
        /// The allocator of the lists.
        allocator_type get_allocator() const noexcept { return allocator_type(); }
        /// Runs the handler.
        template <typename... Arguments>
        void operator()(Arguments&&... arguments)
        {
            handler(std::forward<Arguments>(arguments)...);
        }

    private:
        /// The handler itself.
        Handler handler;
    };

    /// handler, with its operation stored in the pool.
    template <typename Handler>
    static Bound<Handler> Wrap(Handler handler)
    {
        return Bound<Handler>(std::move(handler));
    }
};
