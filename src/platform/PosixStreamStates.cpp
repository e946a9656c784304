#include "platform/PosixStreamStates.h"

#include <mutex>
#include <new>
#include <unordered_map>

namespace Platform {

namespace {

struct StreamTable {
    std::mutex mutex;
    std::unordered_map<int, StreamEntry> entries;
};

StreamTable& table()
{
    static StreamTable streams;
    return streams;
}

} // namespace

bool trackStream(int descriptor)
{
    StreamTable& streams = table();
    const std::lock_guard lock(streams.mutex);
    try {
        streams.entries.insert_or_assign(descriptor, StreamEntry{});
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void updateStream(int descriptor, StreamEntry entry)
{
    StreamTable& streams = table();
    const std::lock_guard lock(streams.mutex);
    if (const auto found = streams.entries.find(descriptor); found != streams.entries.end()) {
        found->second = entry;
    }
}

void forgetStream(int descriptor)
{
    StreamTable& streams = table();
    const std::lock_guard lock(streams.mutex);
    streams.entries.erase(descriptor);
}

std::optional<StreamEntry> streamEntry(int descriptor)
{
    StreamTable& streams = table();
    const std::lock_guard lock(streams.mutex);
    const auto found = streams.entries.find(descriptor);
    if (found == streams.entries.end()) {
        return std::nullopt;
    }
    return found->second;
}

} // namespace Platform
