#include "test-service/RegistrationRate.h"

namespace testservice {

namespace {

constexpr std::chrono::minutes window{1};

} // namespace

bool RegistrationRate::admit(const std::string& address, Clock::time_point now)
{
    std::lock_guard lock(mutex);
    forgetQuietAddresses(now);
    std::deque<Clock::time_point>& times = admitted[address];
    while (!times.empty() && now - times.front() >= window) {
        times.pop_front();
    }
    if (times.size() >= most) {
        ++refused;
        return false;
    }
    times.push_back(now);
    return true;
}

std::size_t RegistrationRate::refusedCount() const
{
    std::lock_guard lock(mutex);
    return refused;
}

void RegistrationRate::forgetQuietAddresses(Clock::time_point now)
{
    if (now - lastSweep < window) {
        return;
    }
    lastSweep = now;
    std::erase_if(admitted, [&](const auto& entry) {
        return entry.second.empty() || now - entry.second.back() >= window;
    });
}

} // namespace testservice
