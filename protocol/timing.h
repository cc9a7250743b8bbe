#pragma once

#include <chrono>

// The tool's timings. The window runs on them; the simulated device and the tests take theirs
// from here, so that a change here reaches them all.

// How long the tool waits for the device's answer to a frame: then it probes again, or reports
// the time-out.
constexpr std::chrono::milliseconds ResponseTimeout{200};

// How long a transmit or receive light stays green after a frame.
constexpr std::chrono::milliseconds LightOnTime{100};
