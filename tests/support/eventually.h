// Waiting in tests for something another thread or process does: bounded,
// so that a fault fails the test instead of hanging it.
#pragma once

#include <chrono>
#include <thread>

// Polls cond every millisecond for at most seconds; true when it held.
template <class F> bool Eventually(F cond, int seconds = 60) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return cond();
}
