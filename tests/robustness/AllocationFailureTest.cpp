// Every allocation of a whole registration failed in turn. The global
// allocation functions are replaced so that the Nth allocation made on the
// calling thread inside the registration call fails, for every N from 1 until
// a call no longer reaches N allocations. Each call must end in a code (1
// when the failure escapes the driver, as std::bad_alloc and nothing else),
// and must give back everything it allocated. The test service's threads are
// not counted: only the library's own work on the caller's thread is.

#include "DirectRegistration.h"
#include "registration/ExchangeScenarios.h"
#include "test-service/Wire.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <new>
#include <string>

namespace {

struct AllocationCounter {
    bool counting = false;
    std::int64_t allocations = 0;
    std::int64_t failAt = 0; // 0: none fails
    bool failed = false;
    std::int64_t live = 0; // allocated minus freed while counting
};

thread_local constinit AllocationCounter counter;

void* allocate(std::size_t size, std::size_t alignment, bool nothrow)
{
    if (counter.counting && ++counter.allocations == counter.failAt) {
        counter.failed = true;
        if (nothrow) {
            return nullptr;
        }
        throw std::bad_alloc();
    }
    const std::size_t bytes = size == 0 ? 1 : size;
    void* memory =
        alignment <= alignof(std::max_align_t)
            ? std::malloc(bytes)
            : std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment);
    if (memory == nullptr) {
        if (nothrow) {
            return nullptr;
        }
        throw std::bad_alloc();
    }
    if (counter.counting) {
        ++counter.live;
    }
    return memory;
}

void release(void* memory) noexcept
{
    if (memory != nullptr) {
        if (counter.counting) {
            --counter.live;
        }
        std::free(memory);
    }
}

} // namespace

void* operator new(std::size_t size)
{
    return allocate(size, 0, false);
}
void* operator new[](std::size_t size)
{
    return allocate(size, 0, false);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size, 0, true);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size, 0, true);
}
void* operator new(std::size_t size, std::align_val_t alignment)
{
    return allocate(size, static_cast<std::size_t>(alignment), false);
}
void* operator new[](std::size_t size, std::align_val_t alignment)
{
    return allocate(size, static_cast<std::size_t>(alignment), false);
}
void operator delete(void* memory) noexcept
{
    release(memory);
}
void operator delete[](void* memory) noexcept
{
    release(memory);
}
void operator delete(void* memory, std::size_t) noexcept
{
    release(memory);
}
void operator delete[](void* memory, std::size_t) noexcept
{
    release(memory);
}
void operator delete(void* memory, std::align_val_t) noexcept
{
    release(memory);
}
void operator delete[](void* memory, std::align_val_t) noexcept
{
    release(memory);
}
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept
{
    release(memory);
}
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept
{
    release(memory);
}

namespace {

using scenarios::loopback;
using testservice::Bytes;
using testservice::DirectoryEntry;

struct Call {
    std::int32_t code = -1;
    std::int64_t allocations = 0;
    bool failed = false;
    std::int64_t live = 0;
};

// A refusing server ahead of an answering one, for the directory and for the
// DBProxy, so that a call also passes through the socket-error paths.
template <typename Server, typename Make>
std::pair<std::unique_ptr<Server>, std::unique_ptr<Server>> refusingFirst(Make make)
{
    return scenarios::inPortOrder<Server>([&] { return make(true); }, [&] { return make(false); });
}

class AllocationFailure : public ::testing::Test {
  protected:
    AllocationFailure()
    {
        // Big numbers of up to 128 bits live inside the number itself; the
        // service's 1024-bit group makes the key's numbers allocate.
        const auto key = testservice::ElGamalKey::fromGroup(1024);
        dbProxies = refusingFirst<testservice::DBProxyServer>([&](bool refuse) {
            testservice::DBProxyBehaviour behaviour;
            behaviour.mode = refuse ? testservice::DBProxyBehaviour::Mode::refuse
                                    : testservice::DBProxyBehaviour::Mode::answer;
            return std::make_unique<testservice::DBProxyServer>(loopback, key, behaviour);
        });
        const std::vector<DirectoryEntry> entries = {
            {"DBProxy", dbProxies.first->port(), "127.0.0.1", 0},
            {"DBProxy", dbProxies.second->port(), "127.0.0.1", 0}};
        directories = refusingFirst<testservice::DirectoryServer>([&](bool refuse) {
            testservice::DirectoryBehaviour behaviour;
            behaviour.mode = refuse ? testservice::DirectoryBehaviour::Mode::refuse
                                    : testservice::DirectoryBehaviour::Mode::answer;
            return std::make_unique<testservice::DirectoryServer>(loopback, entries, behaviour);
        });
        west = directories.second->endpointText();
        east = directories.first->endpointText();
    }

    Call call(std::int64_t failAt)
    {
        Call result;
        counter = {true, 0, failAt, false, 0};
        try {
            result.code = runRegistrationWith(west.c_str(), east.c_str(), {"user", 3, 1, 0, 1, 0},
                                              nullptr, timeouts);
        } catch (const std::bad_alloc&) {
            result.code = REGISTER_RESULT_INTERNAL_ERROR;
        }
        result.allocations = counter.allocations;
        result.failed = counter.failed;
        result.live = counter.live;
        counter = {};
        return result;
    }

    const ExchangeTimeouts timeouts{5000, 5000, 5000};
    std::pair<std::unique_ptr<testservice::DBProxyServer>,
              std::unique_ptr<testservice::DBProxyServer>>
        dbProxies;
    std::pair<std::unique_ptr<testservice::DirectoryServer>,
              std::unique_ptr<testservice::DirectoryServer>>
        directories;
    std::string west, east;
};

TEST_F(AllocationFailure, EveryAllocationOfARegistrationEndsInACode)
{
    // The first call settles whatever the process sets up once.
    ASSERT_EQ(call(0).code, REGISTER_RESULT_SUCCESS);
    const Call full = call(0);
    ASSERT_EQ(full.code, REGISTER_RESULT_SUCCESS);
    EXPECT_EQ(full.live, 0);
    ASSERT_GT(full.allocations, 100);

    // The count varies a little between calls (the random exponents take a
    // varying number of draws), so the walk ends at the first call that
    // finishes before its Nth allocation.
    std::map<std::int32_t, std::int64_t> codes;
    std::int64_t failAt = 1;
    for (;; ++failAt) {
        ASSERT_LT(failAt, 4 * full.allocations) << "the failures never stop";
        const Call faulty = call(failAt);
        ASSERT_EQ(faulty.live, 0) << "allocation " << failAt << " failed, code " << faulty.code;
        if (!faulty.failed) {
            ASSERT_EQ(faulty.code, REGISTER_RESULT_SUCCESS);
            break;
        }
        // Every server that answers comes last in its walk, so a failure
        // never ends in a success.
        ASSERT_TRUE(faulty.code == REGISTER_RESULT_INTERNAL_ERROR ||
                    faulty.code == REGISTER_RESULT_DIRECTORY_FAILED ||
                    faulty.code == REGISTER_RESULT_REGISTRATION_FAILED)
            << "allocation " << failAt << " failed, code " << faulty.code;
        ++codes[faulty.code];
    }
    EXPECT_GE(failAt - 1, full.allocations / 2);
    EXPECT_GT(codes[REGISTER_RESULT_INTERNAL_ERROR], 0);

    std::string summary = std::to_string(failAt - 1) + " failed allocations (" +
                          std::to_string(full.allocations) + " in a full call):";
    for (const auto& [code, count] : codes) {
        summary += " code " + std::to_string(code) + " x" + std::to_string(count);
    }
    RecordProperty("summary", summary);
    std::printf("%s\n", summary.c_str());
}

} // namespace
