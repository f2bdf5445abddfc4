// The fields of a market definition, each declared once. Every use expands
// this one table: the cache's members, the reader of "marketDefinition", the
// Python record and its properties, and the dictionary export. Adding a field
// is a row here (and a line in the typing stub).
//
//   X(kind, member, "streamKey", initial value, exported)
//
// kind: how the stream value is read (market/fields.hpp) and what it is.
//   Text      a text                      (std::string)
//   OptText   an optional text            (std::optional<std::string>)
//   Time      an optional text, shown in Python as a naive datetime and
//             exported as the text itself
//   Bool      a JSON boolean
//   Low32     an integer that fits signed 64 bits, kept as its low 32 bits
//   I64       an integer that fits signed 64 bits
//   Double    any JSON number
//   OptDouble any JSON number, absent until one arrives
//   TextList  an array, of which the strings are kept (replaced whole)
//   Runners   the definition's runner list (read on its own, after the fields)
//   Count     not read: the count of "ACTIVE" runner caches, kept by the cache
// exported: 1 when the field is a key of the exported definition dict (the
//   dict lists its keys sorted), 0 when only the Python property shows it.
//
// The rows are in the order of the MarketDefinition properties.
#pragma once

#define PALISAR_MARKET_DEFINITION(X)                                                  \
    X(OptText, event_id, "eventId", {}, 1)                                            \
    X(OptText, event_type_id, "eventTypeId", {}, 1)                                   \
    X(OptText, event_name, "eventName", {}, 1)                                        \
    X(OptText, market_type, "marketType", {}, 1)                                      \
    X(OptText, country_code, "countryCode", {}, 1)                                    \
    X(OptText, venue, "venue", {}, 1)                                                 \
    X(OptText, race_type, "raceType", {}, 0)                                          \
    X(OptText, name, "name", {}, 1)                                                   \
    X(OptText, timezone, "timezone", {}, 1)                                           \
    X(OptText, betting_type, "bettingType", {}, 1)                                    \
    X(TextList, regulators, "regulators", {}, 1)                                      \
    X(Runners, runners, "runners", {}, 1)                                             \
    X(Time, market_time, "marketTime", {}, 1)                                         \
    X(Time, open_date, "openDate", {}, 1)                                             \
    X(Time, suspend_time, "suspendTime", {}, 1)                                       \
    X(Time, settled_time, "settledTime", {}, 0)                                       \
    X(Bool, bsp_market, "bspMarket", false, 1)                                        \
    X(Bool, persistence_enabled, "persistenceEnabled", true, 1)                       \
    X(OptDouble, each_way_divisor, "eachWayDivisor", {}, 0)                           \
    X(Bool, turn_in_play_enabled, "turnInPlayEnabled", false, 1)                      \
    X(Bool, discount_allowed, "discountAllowed", false, 1)                            \
    X(Double, market_base_rate, "marketBaseRate", 0.0, 1)                             \
    X(Low32, bet_delay, "betDelay", 0, 1)                                             \
    X(Low32, number_of_winners, "numberOfWinners", 1, 1)                              \
    X(Count, number_of_active_runners, "numberOfActiveRunners", 0, 1)                 \
    X(Bool, bsp_reconciled, "bspReconciled", false, 1)                                \
    X(Bool, complete, "complete", true, 1)                                            \
    X(Bool, cross_matching, "crossMatching", true, 1)                                 \
    X(Bool, in_play, "inPlay", false, 1)                                              \
    X(Bool, runners_voidable, "runnersVoidable", false, 1)                            \
    X(Text, status, "status", "OPEN", 1)                                              \
    X(I64, version, "version", 0, 1)

// The C++ type of a field of each kind as the cache keeps it (Runners and
// Count are kept by the cache in members of their own).
#define PALISAR_FIELD_TYPE_Text std::string
#define PALISAR_FIELD_TYPE_OptText std::optional<std::string>
#define PALISAR_FIELD_TYPE_Time std::optional<std::string>
#define PALISAR_FIELD_TYPE_Bool bool
#define PALISAR_FIELD_TYPE_Low32 int32_t
#define PALISAR_FIELD_TYPE_I64 int64_t
#define PALISAR_FIELD_TYPE_Double double
#define PALISAR_FIELD_TYPE_OptDouble std::optional<double>
#define PALISAR_FIELD_TYPE_TextList std::vector<std::string>

// True for the kinds that are read from the definition as plain fields.
#define PALISAR_FIELD_IS_READ_Text 1
#define PALISAR_FIELD_IS_READ_OptText 1
#define PALISAR_FIELD_IS_READ_Time 1
#define PALISAR_FIELD_IS_READ_Bool 1
#define PALISAR_FIELD_IS_READ_Low32 1
#define PALISAR_FIELD_IS_READ_I64 1
#define PALISAR_FIELD_IS_READ_Double 1
#define PALISAR_FIELD_IS_READ_OptDouble 1
#define PALISAR_FIELD_IS_READ_TextList 1
#define PALISAR_FIELD_IS_READ_Runners 0
#define PALISAR_FIELD_IS_READ_Count 0

// Expands what follows `kind` for the plain fields and nothing for Runners and
// Count; PALISAR_IF_1 and PALISAR_IF_0 expand their arguments or nothing.
#define PALISAR_IF_FIELD(kind, ...) PALISAR_IF_FIELD_I(PALISAR_FIELD_IS_READ_##kind, __VA_ARGS__)
#define PALISAR_IF_FIELD_I(flag, ...) PALISAR_IF_FIELD_II(flag, __VA_ARGS__)
#define PALISAR_IF_FIELD_II(flag, ...) PALISAR_IF_##flag(__VA_ARGS__)
#define PALISAR_IF_1(...) __VA_ARGS__
#define PALISAR_IF_0(...)
