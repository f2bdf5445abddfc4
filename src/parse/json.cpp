#include "json.hpp"

#include <simdjson.h>

static_assert(palisar::json::kLinePadding >= simdjson::SIMDJSON_PADDING);

namespace palisar::json {

namespace {

// Copies a document of the fast parser into the value tree. Returns false when
// the document is nested too deeply: the exact parser then reports it.
bool convert(simdjson::dom::element e, Builder& out, size_t depth) {
    using simdjson::dom::element_type;
    switch (e.type()) {
        case element_type::ARRAY: {
            if (depth >= kMaxDepth) return false;
            out.begin_array();
            for (simdjson::dom::element child : simdjson::dom::array(e))
                if (!convert(child, out, depth + 1)) return false;
            out.end_container();
            return true;
        }
        case element_type::OBJECT: {
            if (depth >= kMaxDepth) return false;
            out.begin_object();
            for (simdjson::dom::key_value_pair kv : simdjson::dom::object(e)) {
                out.key(kv.key);
                if (!convert(kv.value, out, depth + 1)) return false;
            }
            out.end_container();
            return true;
        }
        case element_type::INT64: out.sint(int64_t(e)); return true;
        case element_type::UINT64: out.uint(uint64_t(e)); return true;
        case element_type::DOUBLE: out.number(double(e)); return true;
        case element_type::STRING: out.string(std::string_view(e)); return true;
        case element_type::BOOL: out.boolean(bool(e)); return true;
        case element_type::NULL_VALUE: out.null(); return true;
    }
    return false;
}

}  // namespace

LineParser::LineParser() : fast_(std::make_unique<simdjson::dom::parser>()) {}
LineParser::~LineParser() = default;

bool LineParser::parse(std::string_view line, Builder& out, std::string& error) {
    simdjson::dom::element root;
    if (!fast_->parse(line.data(), line.size(), false).get(root)) {
        out.clear();
        if (convert(root, out, 0)) return true;
    }
    // Refused (a fault, a number beyond 64 bits, too deep): the exact parser
    // decides, and describes the fault precisely.
    return parse_precise(line, out, error);
}

}  // namespace palisar::json
