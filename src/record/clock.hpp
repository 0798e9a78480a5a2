// The wall clock records and ids are stamped with.
#pragma once

#include <cstdint>
#include <ctime>

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

}  // namespace sarv
