// Calls a function once, from a thread of its own, when a delay has passed,
// unless the timer is destroyed first. The destructor waits for the thread,
// so the function never outlives what it uses.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class CancelTimer {
  public:
    CancelTimer(std::chrono::milliseconds delay, std::function<void()> onExpiry);
    ~CancelTimer();
    CancelTimer(const CancelTimer&) = delete;
    CancelTimer& operator=(const CancelTimer&) = delete;

  private:
    std::mutex mutex;
    std::condition_variable wake;
    bool stopped = false;
    std::thread thread; // last: it starts once the members it uses exist
};
