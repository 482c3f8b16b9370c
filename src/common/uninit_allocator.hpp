// std::allocator without value-initialisation of new elements.
#pragma once

#include <memory>
#include <new>

namespace vse {

// An allocator that leaves new elements uninitialised, for buffers that are written whole right
// after they are sized (the fetch output, the rows gathered for a scorer): clearing them first
// would cost one more pass over every byte.
template <class T>
struct UninitAllocator : std::allocator<T> {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() = default;
    template <class U>
    UninitAllocator(const UninitAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
};

}  // namespace vse
