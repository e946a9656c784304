#include "platform/PosixStreamStates.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace Platform {

namespace {

// Few streams are unconnected at any one time, so a short list searched in
// order does. Its capacity only grows: once it has room, opening a socket
// allocates nothing and cannot fail for want of memory.
struct StreamTable {
    std::mutex mutex;
    std::vector<std::pair<int, StreamEntry>> entries;

    std::pair<int, StreamEntry>* find(int descriptor)
    {
        const auto found =
            std::find_if(entries.begin(), entries.end(),
                         [descriptor](const auto& e) { return e.first == descriptor; });
        return found == entries.end() ? nullptr : &*found;
    }
};

constexpr std::size_t initialCapacity = 16;

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
    if (auto* entry = streams.find(descriptor)) {
        entry->second = StreamEntry{};
        return true;
    }
    try {
        if (streams.entries.size() == streams.entries.capacity()) {
            streams.entries.reserve(std::max(initialCapacity, 2 * streams.entries.capacity()));
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    streams.entries.emplace_back(descriptor, StreamEntry{});
    return true;
}

void updateStream(int descriptor, StreamEntry entry)
{
    StreamTable& streams = table();
    const std::lock_guard lock(streams.mutex);
    if (auto* found = streams.find(descriptor)) {
        found->second = entry;
    }
}

void forgetStream(int descriptor)
{
    StreamTable& streams = table();
    const std::lock_guard lock(streams.mutex);
    if (auto* found = streams.find(descriptor)) {
        *found = streams.entries.back();
        streams.entries.pop_back();
    }
}

std::optional<StreamEntry> streamEntry(int descriptor)
{
    StreamTable& streams = table();
    const std::lock_guard lock(streams.mutex);
    if (const auto* found = streams.find(descriptor)) {
        return found->second;
    }
    return std::nullopt;
}

} // namespace Platform
