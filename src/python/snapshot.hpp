// Turning the market cache into a MarketBook, with object reuse.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "market/market.hpp"
#include "python/types.hpp"

namespace palisar::py {

// Loads the interpreter's datetime support and makes the datetime part of the
// module state, once (from init_module_state); false with an error set on failure.
bool init_datetime();

// Naive UTC datetime of `ms` milliseconds since the epoch, equal to what
// datetime.datetime.utcfromtimestamp(ms / 1000.0) gives, without its warning.
PyObject* utc_datetime_from_ms(int64_t ms);

// datetime.strptime with "%Y-%m-%dT%H:%M:%S.%fZ", then (when the first raised
// ValueError) "%Y-%m-%dT%H:%M:%SZ"; None for an absent text. The usual texts
// of the two forms are converted without calling strptime, to the same result.
PyObject* parse_datetime_or_none(const std::optional<std::string>& text);

// A new MarketBook for the cache's current state; unchanged runners, price
// lists and the definition are the objects handed out before.
PyObject* to_market_book(market::MarketCache& cache);

}  // namespace palisar::py
