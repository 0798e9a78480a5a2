#include "utils/ulid.hpp"

#include <sys/random.h>

#include <chrono>
#include <cstring>

namespace sarv {
namespace {

constexpr char CROCKFORD[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

// xoshiro256**: small, fast, and its state is trivially destructible, so a thread's exit
// never runs code of ours.
struct Generator {
    uint64_t s[4];
    bool seeded;
};
thread_local Generator generator{};

uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

uint64_t splitmix(uint64_t& x) {
    uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

void seed(Generator& g) {
    uint64_t seed_words[4] = {0, 0, 0, 0};
    size_t got = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(seed_words);
    while (got < sizeof(seed_words)) {
        ssize_t n = getrandom(bytes + got, sizeof(seed_words) - got, 0);
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    // Without the OS source, fall back to clock and address entropy rather than fail.
    uint64_t mix = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                   reinterpret_cast<uintptr_t>(&g);
    for (auto& word : seed_words) {
        word ^= splitmix(mix);
    }
    std::memcpy(g.s, seed_words, sizeof(g.s));
    g.seeded = true;
}

uint64_t next(Generator& g) {
    if (!g.seeded) {
        seed(g);
    }
    uint64_t result = rotl(g.s[1] * 5, 7) * 9;
    uint64_t t = g.s[1] << 17;
    g.s[2] ^= g.s[0];
    g.s[3] ^= g.s[1];
    g.s[1] ^= g.s[2];
    g.s[0] ^= g.s[3];
    g.s[2] ^= t;
    g.s[3] = rotl(g.s[3], 45);
    return result;
}

}  // namespace

void format_ulid(uint64_t millis, uint16_t random_high, uint64_t random_low, char out[26]) {
    // 130 bits in 26 groups of five, most significant first: ten groups of time (the top
    // two bits zero), then sixteen of the 80 random bits, read with 64-bit shifts.
    millis &= 0xFFFFFFFFFFFFULL;
    for (int i = 0; i < 10; ++i) {
        out[i] = CROCKFORD[(millis >> (45 - 5 * i)) & 0x1F];
    }
    const uint64_t high = random_high;
    out[10] = CROCKFORD[(high >> 11) & 0x1F];
    out[11] = CROCKFORD[(high >> 6) & 0x1F];
    out[12] = CROCKFORD[(high >> 1) & 0x1F];
    out[13] = CROCKFORD[((high << 4) | (random_low >> 60)) & 0x1F];
    for (int j = 0; j < 12; ++j) {
        out[14 + j] = CROCKFORD[(random_low >> (55 - 5 * j)) & 0x1F];
    }
}

void new_ulid(char out[26]) {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    uint64_t random_low = next(generator);
    auto random_high = static_cast<uint16_t>(next(generator) >> 48);
    format_ulid(millis < 0 ? 0 : static_cast<uint64_t>(millis), random_high, random_low, out);
}

PrefixedId new_prefixed_id(const char prefix[4]) {
    PrefixedId id;
    std::memcpy(id.text.data(), prefix, 4);
    new_ulid(id.text.data() + 4);
    return id;
}

}  // namespace sarv
