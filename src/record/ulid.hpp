#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace sarv {

// "frm_" / "trc_" followed by a 26-character ULID: fixed size, so ids never allocate.
struct PrefixedId {
    std::array<char, 30> text;
    std::string_view view() const { return {text.data(), text.size()}; }
    // Four overlapping 8-byte words: no library call on the hot path.
    bool operator==(const PrefixedId& other) const {
        uint64_t a[4], b[4];
        for (int i = 0; i < 4; ++i) {
            size_t at = i < 3 ? 8 * i : text.size() - 8;
            std::memcpy(&a[i], text.data() + at, 8);
            std::memcpy(&b[i], other.text.data() + at, 8);
        }
        return ((a[0] ^ b[0]) | (a[1] ^ b[1]) | (a[2] ^ b[2]) | (a[3] ^ b[3])) == 0;
    }
};

namespace detail {
extern std::atomic<uint32_t> forks;
}
// Forks into children of this process, counted in each child once watch_forks() has run:
// a state kept from before the last fork is told by the count it was made at.
uint32_t watch_forks();
inline uint32_t forks_so_far() { return detail::forks.load(std::memory_order_relaxed); }

// xoshiro256**: small, fast, and its state is trivially destructible, so a thread's exit
// never runs code of ours. Seeded from the OS at first use, and again in a forked child:
// a child drawing the parent's sequence would repeat its ids (trace ids are database keys).
class IdGenerator {
public:
    uint64_t next();
    // The 10 characters of an id's time part for `millis` (those of the last id while the
    // millisecond is the same: most ids of a thread are made in the millisecond of another).
    const char* time_text(uint64_t millis);

private:
    void seed();
    uint64_t s_[4] = {0, 0, 0, 0};
    bool seeded_ = false;
    uint32_t forks_seen_ = 0;
    uint64_t text_millis_ = UINT64_MAX;
    char time_text_[10] = {};
};

// Canonical Crockford base-32 text of a ULID built from the given parts (exposed for tests).
void format_ulid(uint64_t millis, uint16_t random_high, uint64_t random_low, char out[26]);
// A fresh ULID: current millisecond time (or `millis`), 80 random bits from this thread's
// generator (or `ids`, a generator the caller keeps for its thread).
void new_ulid(char out[26]);
void new_ulid_at(uint64_t millis, IdGenerator& ids, char out[26]);
PrefixedId new_prefixed_id(const char prefix[4]);
PrefixedId new_prefixed_id_at(const char prefix[4], uint64_t millis, IdGenerator& ids);
inline PrefixedId new_frame_id() { return new_prefixed_id("frm_"); }
inline PrefixedId new_frame_id_at(uint64_t millis, IdGenerator& ids) { return new_prefixed_id_at("frm_", millis, ids); }
inline PrefixedId new_trace_id() { return new_prefixed_id("trc_"); }

}  // namespace sarv
