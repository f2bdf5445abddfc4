// Test helper: JSON text -> compact value tree, through simdjson's DOM.
// Only for tests of the market cache; the product's own line parser lives in
// src/parse.
#pragma once

#include <simdjson.h>

#include <stdexcept>
#include <string>
#include <string_view>

#include "json/parser.hpp"
#include "json/value.hpp"

namespace palisar::testing {

inline void encode_element(simdjson::dom::element e, json::Builder& out) {
    using simdjson::dom::element_type;
    switch (e.type()) {
        case element_type::ARRAY:
            out.begin_array();
            for (simdjson::dom::element x : e.get_array()) encode_element(x, out);
            out.end_container();
            break;
        case element_type::OBJECT:
            out.begin_object();
            for (simdjson::dom::key_value_pair kv : e.get_object()) {
                out.key(kv.key);
                encode_element(kv.value, out);
            }
            out.end_container();
            break;
        case element_type::INT64: out.sint(int64_t(e.get_int64())); break;
        case element_type::UINT64: out.uint(uint64_t(e.get_uint64())); break;
        case element_type::DOUBLE: out.number(double(e.get_double())); break;
        case element_type::STRING: out.string(std::string_view(e.get_string())); break;
        case element_type::BOOL: out.boolean(bool(e.get_bool())); break;
        case element_type::NULL_VALUE: out.null(); break;
        default: throw std::runtime_error("test JSON holds a value kind the tree has no form for");
    }
}

// Parses `text` into `out` (cleared first); throws on invalid JSON.
inline void encode_json(std::string_view text, json::Builder& out) {
    static simdjson::dom::parser parser;
    simdjson::padded_string padded(text);
    simdjson::dom::element root;
    auto error = parser.parse(padded).get(root);
    if (error) throw std::runtime_error(std::string("bad test JSON: ") + simdjson::error_message(error));
    out.clear();
    encode_element(root, out);
}

// An owned encoded document; `value()` is valid while the document lives.
class Doc {
public:
    explicit Doc(std::string_view text) { encode_json(text, builder_); }
    json::Value value() const { return json::Value(builder_.data()); }
    operator json::Value() const { return value(); }

private:
    json::Builder builder_;
};

// The same text as the product's line parser stores it: known keys as ids,
// delta lists of plain numbers packed (read by the one-pass path, which the
// constructor checks). `value()` is valid while the document lives.
class Parsed {
public:
    explicit Parsed(std::string_view text) {
        std::string line = std::string(R"({"pt":1,"mc":[)") + std::string(text) + "]}";
        const size_t size = line.size();
        line.append(json::kLinePadding, ' ');
        json::LineParser parser;
        json::Value changes;
        int64_t pt = 0;
        std::string error;
        if (parser.parse_message(std::string_view(line.data(), size), arena_, changes, pt, error) !=
                json::LineParser::Message::Keep ||
            parser.exact_lines() != 0)
            throw std::runtime_error("test JSON not read by the one-pass path: " + std::string(text));
        value_ = *changes.items().begin();
    }
    json::Value value() const { return value_; }
    operator json::Value() const { return value_; }

private:
    json::Arena arena_;
    json::Value value_;
};

}  // namespace palisar::testing
