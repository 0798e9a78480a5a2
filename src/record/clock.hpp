// The wall clock records and ids are stamped with.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace sarv {

// Seconds since the Unix epoch, with fraction (negative before the epoch), and the same
// reading in whole milliseconds (0 before the epoch): a record's timestamp and its frame
// id's time come from one reading. Never a failure.
struct WallClock {
    double seconds;
    uint64_t millis;
};

inline WallClock wall_clock() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    double seconds = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
    uint64_t millis =
        now.tv_sec < 0 ? 0 : static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
    return {seconds, millis};
}

inline double timestamp() { return wall_clock().seconds; }

// A counter cheap enough to read at every call left out of a trace: the processor's own
// where it has one (a single instruction, no system call), else the steady clock's
// nanoseconds. Only differences of two readings mean anything; seconds_per_tick()
// converts them.
inline uint64_t ticks() {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#elif defined(__aarch64__)
    uint64_t value;
    asm volatile("mrs %0, cntvct_el0" : "=r"(value));
    return value;
#else
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
#endif
}

// Seconds per tick, measured against the steady clock since the first call in the
// process (calibrated as it goes: the longer the process ran, the closer). The first
// call takes the reference readings; call it early.
double seconds_per_tick();

}  // namespace sarv
