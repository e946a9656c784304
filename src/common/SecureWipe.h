#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

// Zeroes memory that held a secret in a way the compiler cannot drop as a
// dead store: the stores are followed by an empty assembly statement that
// may read them (the approach of libsodium's sodium_memzero), or made
// through a volatile pointer where no such statement exists.
inline void secureWipe(void* data, std::size_t length) noexcept
{
    if (data == nullptr || length == 0) {
        return;
    }
#if defined(__GNUC__) || defined(__clang__)
    std::memset(data, 0, length);
    __asm__ __volatile__("" : : "r"(data) : "memory");
#else
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
    while (length-- != 0) {
        *bytes++ = 0;
    }
#endif
}

template <typename T, std::size_t N> void secureWipe(std::array<T, N>& values) noexcept
{
    static_assert(std::is_trivially_copyable_v<T>);
    secureWipe(values.data(), sizeof(T) * N);
}

// The elements in use; a vector that only grows or is wiped before it
// shrinks holds nothing beyond them.
template <typename T, typename A> void secureWipe(std::vector<T, A>& values) noexcept
{
    static_assert(std::is_trivially_copyable_v<T>);
    secureWipe(values.data(), sizeof(T) * values.size());
}

// The characters in use, as for a vector.
template <typename C, typename T, typename A>
void secureWipe(std::basic_string<C, T, A>& text) noexcept
{
    secureWipe(text.data(), sizeof(C) * text.size());
}

// An allocator that wipes every block before it returns it, so that a
// container of secrets leaves none behind when it grows or ends.
template <typename T> struct WipingAllocator {
    using value_type = T;

    WipingAllocator() noexcept = default;
    template <typename U> WipingAllocator(const WipingAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) { return std::allocator<T>().allocate(count); }
    void deallocate(T* block, std::size_t count) noexcept
    {
        secureWipe(block, sizeof(T) * count);
        std::allocator<T>().deallocate(block, count);
    }

    template <typename U> bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
};

// Wipes a buffer of secrets when the scope that owns it ends, however it
// ends. For buffers whose type is fixed by an interface.
template <typename Buffer> class WipeOnExit {
  public:
    explicit WipeOnExit(Buffer& owned) noexcept : buffer(owned) {}
    ~WipeOnExit() { secureWipe(buffer); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

  private:
    Buffer& buffer;
};
