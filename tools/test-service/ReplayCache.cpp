#include "test-service/ReplayCache.h"

#include <openssl/sha.h>

namespace testservice {

ReplayCache::Digest ReplayCache::digestOf(const Bytes& frame)
{
    Digest digest{};
    SHA256(frame.data(), frame.size(), digest.data());
    return digest;
}

std::optional<std::pair<ReplayCache::Reply, ReplayCache::Clock::duration>>
ReplayCache::find(const Digest& frame, Clock::time_point now)
{
    std::lock_guard lock(mutex);
    forgetOld(now);
    const auto found = replies.find(std::string(frame.begin(), frame.end()));
    if (found == replies.end()) {
        return std::nullopt;
    }
    return std::pair{found->second.reply, now - found->second.answered};
}

void ReplayCache::remember(const Digest& frame, Reply reply, Clock::time_point now)
{
    std::lock_guard lock(mutex);
    std::string key(frame.begin(), frame.end());
    // Two connections may send one frame at once and both be answered in
    // full; the first reply stays.
    const std::size_t size = reply.body.size() + reply.result.size();
    if (size > mostBytes || replies.contains(key)) {
        return;
    }
    bytes += size;
    replies.emplace(key, Entry{std::move(reply), now});
    byAge.emplace_back(now, std::move(key));
    forgetOld(now);
}

void ReplayCache::forgetOld(Clock::time_point now)
{
    while (!byAge.empty() && (now - byAge.front().first >= keptFor || bytes > mostBytes)) {
        const auto entry = replies.find(byAge.front().second);
        bytes -= entry->second.reply.body.size() + entry->second.reply.result.size();
        replies.erase(entry);
        byAge.pop_front();
    }
}

} // namespace testservice
