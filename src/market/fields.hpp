// Small readers shared by the market-level and definition code. Each one
// writes its target only when the JSON value has the accepted type and leaves
// it untouched otherwise (missing key and null included).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "json/value.hpp"

namespace palisar::market::fields {

// Looks up several keys of an object in one pass over its members (instead
// of one pass per key), dispatching on key ids: `slots` comes from
// json::member_slots(names) and out[i] receives the member named names[i]. As
// with Value::find, the last occurrence of a repeated key wins; keys not
// present stay invalid. Returns the set of indexes found (bit i for out[i]).
template <size_t N>
uint64_t find_all(json::Value object, const std::array<uint8_t, json::kKeyCount + 1>& slots,
                  json::Value (&out)[N]) {
    static_assert(N <= 64);
    uint64_t found = 0;
    object.for_each_member_id([&](unsigned id, json::Value v) {
        const unsigned i = slots[id];
        if (i < N) {
            out[i] = v;
            found |= uint64_t(1) << i;
        }
    });
    return found;
}

// The members of a runner in a market definition's "runners", which both the
// definition record and the runner cache read (find_all with kRunnerSlots).
enum DefinitionRunnerMember : size_t {
    kRunnerId, kRunnerSortPriority, kRunnerStatus, kRunnerHc, kRunnerAdjustmentFactor,
    kRunnerRemovalDate, kRunnerName, kRunnerBsp, kRunnerKeys
};
inline constexpr std::string_view kRunnerKeyNames[kRunnerKeys] = {
    "id", "sortPriority", "status", "hc", "adjustmentFactor", "removalDate", "name", "bsp"};
inline constexpr auto kRunnerSlots = json::member_slots(kRunnerKeyNames);

inline void read_text(json::Value v, std::string& out) {
    std::string_view s;
    if (v.get_string(s)) out.assign(s);
}
inline void read_text(json::Value v, std::optional<std::string>& out) {
    std::string_view s;
    if (!v.get_string(s)) return;
    if (out) out->assign(s);
    else out.emplace(s);
}
inline void read_bool(json::Value v, bool& out) { v.get_bool(out); }
inline void read_i64(json::Value v, int64_t& out) { v.get_i64(out); }
inline void read_i64(json::Value v, std::optional<int64_t>& out) {
    int64_t i;
    if (v.get_i64(i)) out = i;
}
// An integer that fits signed 64 bits, kept as its low 32 bits.
inline void read_low32(json::Value v, int32_t& out) {
    int64_t i;
    if (v.get_i64(i)) out = int32_t(uint32_t(uint64_t(i)));
}
inline void read_double(json::Value v, double& out) { v.get_double(out); }
inline void read_double(json::Value v, std::optional<double>& out) {
    double d;
    if (v.get_double(d)) out = d;
}

}  // namespace palisar::market::fields
