#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace sarv {

// "frm_" / "trc_" followed by a 26-character ULID: fixed size, so ids never allocate.
struct PrefixedId {
    std::array<char, 30> text;
    std::string_view view() const { return {text.data(), text.size()}; }
    bool operator==(const PrefixedId& other) const { return text == other.text; }
};

// Canonical Crockford base-32 text of a ULID built from the given parts (exposed for tests).
void format_ulid(uint64_t millis, uint16_t random_high, uint64_t random_low, char out[26]);
// A fresh ULID: current millisecond time (or `millis`), 80 random bits from this thread's
// generator.
void new_ulid(char out[26]);
void new_ulid_at(uint64_t millis, char out[26]);
PrefixedId new_prefixed_id(const char prefix[4]);
PrefixedId new_prefixed_id_at(const char prefix[4], uint64_t millis);
inline PrefixedId new_frame_id() { return new_prefixed_id("frm_"); }
inline PrefixedId new_frame_id_at(uint64_t millis) { return new_prefixed_id_at("frm_", millis); }
inline PrefixedId new_trace_id() { return new_prefixed_id("trc_"); }

}  // namespace sarv
