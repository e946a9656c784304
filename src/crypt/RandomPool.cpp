#include "crypt/RandomPool.h"

#include "common/ByteOrder.h"
#include "common/SecureWipe.h"
#include "platform/Platform.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace LumenCryptMini {

std::int32_t entropyCounter = 0;

namespace {

constexpr std::size_t systemSeedLength = 32;

} // namespace

RandomPool::RandomPool()
{
    ByteString bytes = gatherEntropy();
    const std::size_t sampleLength = bytes.size();
    bytes.resize(sampleLength + systemSeedLength);
    // If the system generator fails, whatever it did deliver stays and the
    // rest remains zero; the pool still works, so that nothing crashes, but
    // says it is incomplete and the keys that draw from it refuse it.
    complete = Platform::systemRandom(bytes.data() + sampleLength, systemSeedLength);
    addSeed(bytes);
    secureWipe(bytes);
}

RandomPool::~RandomPool()
{
    secureWipe(seed);
    secureWipe(outputBlock);
    secureWipe(&blockCounter, sizeof blockCounter);
}

RandomPool::RandomPool(const ByteString& seedBytes)
{
    addSeed(seedBytes);
}

void RandomPool::addSeed(const ByteString& bytes)
{
    if (!seed.empty()) {
        md5.update(seed);
    }
    ByteString next = md5.digest(bytes);
    secureWipe(seed);
    seed.swap(next);
}

void RandomPool::fill(ByteString& buffer)
{
    std::size_t done = 0;
    while (done < buffer.size()) {
        if (blockPosition == outputBlock.size()) {
            nextBlock();
        }
        const std::size_t take = std::min(buffer.size() - done, outputBlock.size() - blockPosition);
        std::memcpy(buffer.data() + done, outputBlock.data() + blockPosition, take);
        blockPosition += take;
        done += take;
    }
}

void RandomPool::nextBlock()
{
    std::uint8_t counterBytes[8];
    store64le(counterBytes, blockCounter);
    md5.update(seed);
    md5.update(counterBytes, sizeof counterBytes);
    md5.finish(outputBlock.data());
    secureWipe(counterBytes, sizeof counterBytes);
    ++blockCounter;
    blockPosition = 0;
}

ByteString gatherEntropy()
{
    // Signed atomic arithmetic wraps, so the counter runs on from INT_MAX to
    // INT_MIN, and the new value is worked out the same way.
    const std::int32_t previous = std::atomic_ref(entropyCounter).fetch_add(1);
    const auto n = static_cast<std::int32_t>(static_cast<std::uint32_t>(previous) + 1U);

    const Platform::DiskFreeSpace disk = Platform::currentDriveFreeSpace();
    const std::uint32_t used = disk.totalClusters - disk.freeClusters;
    const std::uint32_t larger = std::max(used, disk.freeClusters);
    const std::uint32_t space = larger * disk.sectorsPerCluster * disk.bytesPerSector;

    std::uint64_t sample = space;
    sample = (sample & ~std::uint64_t{0xffff}) | (Platform::tickCount() >> 16);
    sample = (Platform::systemTimeAsFileTime() ^ sample) +
             static_cast<std::uint64_t>(static_cast<std::int64_t>(n));

    ByteString out(8);
    store64le(out.data(), sample);
    return out;
}

} // namespace LumenCryptMini
