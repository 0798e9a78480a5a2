#include "record/ulid.hpp"

#include <pthread.h>
#include <sys/random.h>

#include <atomic>
#include <chrono>
#include <cstring>

namespace sarv {
namespace {

constexpr char CROCKFORD[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

// The two symbols of every ten bits.
struct PairTable {
    char text[1024][2];
    constexpr PairTable() : text{} {
        for (int i = 0; i < 1024; ++i) {
            text[i][0] = CROCKFORD[i >> 5];
            text[i][1] = CROCKFORD[i & 0x1F];
        }
    }
};
constexpr PairTable PAIRS;

thread_local IdGenerator generator;

void count_fork_in_child() { detail::forks.fetch_add(1, std::memory_order_relaxed); }

uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

uint64_t splitmix(uint64_t& x) {
    uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

void put_pair(char* out, int at, uint64_t ten_bits) { std::memcpy(out + at, PAIRS.text[ten_bits & 0x3FF], 2); }

// 130 bits in 13 groups of ten (two symbols each), most significant first: five groups of
// time (the top two bits zero), then eight of the 80 random bits.
void format_time(uint64_t millis, char out[10]) {
    millis &= 0xFFFFFFFFFFFFULL;
    for (int i = 0; i < 5; ++i) {
        put_pair(out, 2 * i, millis >> (40 - 10 * i));
    }
}

void format_random(uint16_t random_high, uint64_t random_low, char out[26]) {
    const uint64_t high = random_high;
    put_pair(out, 10, high >> 6);
    put_pair(out, 12, (high << 4) | (random_low >> 60));
    for (int j = 0; j < 6; ++j) {
        put_pair(out, 14 + 2 * j, random_low >> (50 - 10 * j));
    }
}

}  // namespace

// A generator seeded before the last fork reseeds. One relaxed load per id on the hot path,
// where getpid() would be a system call.
std::atomic<uint32_t> detail::forks{0};

uint32_t watch_forks() {
    static const bool registered = pthread_atfork(nullptr, nullptr, count_fork_in_child) == 0;
    (void)registered;
    return forks_so_far();
}

void format_ulid(uint64_t millis, uint16_t random_high, uint64_t random_low, char out[26]) {
    format_time(millis, out);
    format_random(random_high, random_low, out);
}

const char* IdGenerator::time_text(uint64_t millis) {
    if (millis != text_millis_) {
        format_time(millis, time_text_);
        text_millis_ = millis;
    }
    return time_text_;
}

void IdGenerator::seed() {
    forks_seen_ = watch_forks();
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
                   reinterpret_cast<uintptr_t>(this);
    for (auto& word : seed_words) {
        word ^= splitmix(mix);
    }
    std::memcpy(s_, seed_words, sizeof(s_));
    seeded_ = true;
}

uint64_t IdGenerator::next() {
    if (!seeded_ || forks_seen_ != forks_so_far()) [[unlikely]] {
        seed();
    }
    uint64_t result = rotl(s_[1] * 5, 7) * 9;
    uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
}

void new_ulid(char out[26]) {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    new_ulid_at(millis < 0 ? 0 : static_cast<uint64_t>(millis), generator, out);
}

void new_ulid_at(uint64_t millis, IdGenerator& ids, char out[26]) {
    uint64_t random_low = ids.next();
    auto random_high = static_cast<uint16_t>(ids.next() >> 48);
    std::memcpy(out, ids.time_text(millis), 10);
    format_random(random_high, random_low, out);
}

PrefixedId new_prefixed_id(const char prefix[4]) {
    PrefixedId id;
    std::memcpy(id.text.data(), prefix, 4);
    new_ulid(id.text.data() + 4);
    return id;
}

PrefixedId new_prefixed_id_at(const char prefix[4], uint64_t millis, IdGenerator& ids) {
    PrefixedId id;
    std::memcpy(id.text.data(), prefix, 4);
    new_ulid_at(millis, ids, id.text.data() + 4);
    return id;
}

}  // namespace sarv
