#pragma once

#include <chrono>
#include <cstdint>

// One clock for every timestamp the device's drivers and the bench take, in nanoseconds. On Linux
// the steady clock is CLOCK_MONOTONIC, shared by all processes, so a parent and its child can
// compare stamps.
inline std::int64_t steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
