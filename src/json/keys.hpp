// The object keys the replay reads, each stored in the value tree as one tag
// byte (see value.hpp) instead of its text, so that readers dispatch on a
// small number rather than comparing strings.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace palisar::json {

// Every key of a runner change, a market change, a market definition and its
// runners. At most 64 (the tag holds the id in six bits).
#define PALISAR_STREAM_KEYS(X)                                                                                \
    X(id) X(hc) X(status) X(adjustmentFactor) X(ltp) X(tv) X(removalDate) X(spb) X(spl) X(atb) X(atl) X(trd) \
    X(spn) X(spf) X(img) X(marketDefinition) X(betDelay) X(bspReconciled) X(complete) X(crossMatching)        \
    X(inPlay) X(runnersVoidable) X(version) X(lastMatchTime) X(rc) X(eventId) X(eventTypeId) X(eventName)      \
    X(marketType) X(countryCode) X(venue) X(raceType) X(name) X(timezone) X(bettingType) X(regulators)         \
    X(runners) X(marketTime) X(openDate) X(suspendTime) X(settledTime) X(bspMarket) X(persistenceEnabled)      \
    X(eachWayDivisor) X(turnInPlayEnabled) X(discountAllowed) X(marketBaseRate) X(numberOfWinners)             \
    X(numberOfActiveRunners) X(sortPriority) X(bsp)

enum class Key : uint8_t {
#define PALISAR_KEY_ID(k) k,
    PALISAR_STREAM_KEYS(PALISAR_KEY_ID)
#undef PALISAR_KEY_ID
};
// Number of known keys; also the id readers get for any other key.
inline constexpr unsigned kKeyCount = 0
#define PALISAR_KEY_ONE(k) +1
    PALISAR_STREAM_KEYS(PALISAR_KEY_ONE)
#undef PALISAR_KEY_ONE
    ;
static_assert(kKeyCount <= 64);

inline constexpr std::string_view kKeyNames[kKeyCount] = {
#define PALISAR_KEY_NAME(k) #k,
    PALISAR_STREAM_KEYS(PALISAR_KEY_NAME)
#undef PALISAR_KEY_NAME
};

namespace detail {

inline constexpr size_t kKeyMaxLength = 24;  // longest known key, rounded up to whole words
inline constexpr uint64_t kKeyHashMul = 0x74ddcb51dfbfa053ULL;

// Slot of a key of length n (2 <= n <= kKeyMaxLength) in the 128-entry table:
// first two bytes, last two bytes and the length, multiplied. No two known
// keys share a slot (checked when the table is built).
constexpr unsigned key_slot(uint8_t a, uint8_t b, uint8_t y, uint8_t z, size_t n) {
    uint64_t w = uint64_t(a) | uint64_t(b) << 8 | uint64_t(y) << 16 | uint64_t(z) << 24 | uint64_t(n) << 32;
    return unsigned((w * kKeyHashMul) >> 57);
}
constexpr unsigned key_slot(std::string_view k) {
    const size_t n = k.size();
    return key_slot(uint8_t(k[0]), uint8_t(k[1]), uint8_t(k[n - 2]), uint8_t(k[n - 1]), n);
}

struct KeyTable {
    uint8_t slot[128];                         // id + 1, or 0
    char text[kKeyCount][kKeyMaxLength] = {};  // zero-padded
};
constexpr KeyTable make_key_table() {
    KeyTable t{};
    for (unsigned id = 0; id < kKeyCount; ++id) {
        std::string_view k = kKeyNames[id];
        if (k.size() < 2 || k.size() > kKeyMaxLength) throw std::logic_error("key length out of range");
        unsigned s = key_slot(k);
        if (t.slot[s]) throw std::logic_error("two keys share a slot: pick another multiplier");
        t.slot[s] = uint8_t(id + 1);
        for (size_t i = 0; i < k.size(); ++i) t.text[id][i] = k[i];
    }
    return t;
}
inline constexpr KeyTable kKeyTable = make_key_table();

inline uint64_t load64(const void* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

}  // namespace detail

// Id of a key text, or kKeyCount when it is none of the known keys.
constexpr unsigned key_id(std::string_view k) {
    if (k.size() < 2 || k.size() > detail::kKeyMaxLength) return kKeyCount;
    const unsigned e = detail::kKeyTable.slot[detail::key_slot(k)];
    return e && kKeyNames[e - 1] == k ? e - 1 : kKeyCount;
}

// The same for text followed by at least kKeyMaxLength readable bytes
// (a line with its padding): compares whole words.
inline unsigned key_id_padded(const char* s, size_t n) {
    if (n < 2 || n > detail::kKeyMaxLength) return kKeyCount;
    const unsigned e = detail::kKeyTable.slot[detail::key_slot(uint8_t(s[0]), uint8_t(s[1]), uint8_t(s[n - 2]),
                                                               uint8_t(s[n - 1]), n)];
    if (!e) return kKeyCount;
    const char* t = detail::kKeyTable.text[e - 1];
    uint64_t diff = 0;
    for (size_t i = 0; i < n; i += 8) {
        const size_t left = n - i;
        const uint64_t mask = left >= 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * left)) - 1;
        diff |= (detail::load64(s + i) ^ detail::load64(t + i)) & mask;
    }
    // A longer known key can share the slot and begin with `s`.
    return diff == 0 && kKeyNames[e - 1].size() == n ? e - 1 : kKeyCount;
}

// For a reader that takes the members named in `names`: slot[id] is the index
// of the key with that id in `names`, N for every other id (kKeyCount, the id
// of an unknown key, included). Every name must be a known key.
template <size_t N>
constexpr std::array<uint8_t, kKeyCount + 1> member_slots(const std::string_view (&names)[N]) {
    static_assert(N < 255);
    std::array<uint8_t, kKeyCount + 1> slots{};
    for (auto& s : slots) s = uint8_t(N);
    for (size_t i = 0; i < N; ++i) {
        const unsigned id = key_id(names[i]);
        if (id == kKeyCount) throw std::logic_error("a reader names a key missing from PALISAR_STREAM_KEYS");
        slots[id] = uint8_t(i);
    }
    return slots;
}

}  // namespace palisar::json
