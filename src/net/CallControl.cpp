#include "net/CallControl.h"

#include "platform/Platform.h"

#include <algorithm>

void CallControl::startDeadline(std::uint32_t deadlineMs)
{
    deadline = deadlineMs;
    startTick = Platform::tickCount();
}

std::uint32_t CallControl::deadlineLeft() const
{
    if (deadline == 0) {
        return noDeadline;
    }
    // Wrapping tick arithmetic read as signed, as for every socket timeout.
    const auto left = static_cast<std::int32_t>(deadline + startTick - Platform::tickCount());
    return left > 0 ? static_cast<std::uint32_t>(left) : 0;
}

std::uint32_t CallControl::bound(std::uint32_t timeoutMs) const
{
    return std::min(timeoutMs, deadlineLeft());
}
