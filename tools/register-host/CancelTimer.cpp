#include "CancelTimer.h"

CancelTimer::CancelTimer(std::chrono::milliseconds delay, std::function<void()> onExpiry)
    : thread([this, delay, onExpiry = std::move(onExpiry)] {
          std::unique_lock lock(mutex);
          if (!wake.wait_for(lock, delay, [this] { return stopped; })) {
              lock.unlock();
              onExpiry();
          }
      })
{
}

CancelTimer::~CancelTimer()
{
    {
        const std::lock_guard lock(mutex);
        stopped = true;
    }
    wake.notify_one();
    thread.join();
}
