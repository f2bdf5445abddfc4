// Test helper: JSON text -> compact value tree, through simdjson's DOM.
// Only for tests of the market cache; the product's own line parser lives in
// src/parse.
#pragma once

#include <simdjson.h>

#include <stdexcept>
#include <string>
#include <string_view>

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

}  // namespace palisar::testing
