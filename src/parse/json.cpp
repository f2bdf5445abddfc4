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

// "pt" when it is an integer that fits a signed 64-bit value, else 0.
int64_t publish_time_of(simdjson::dom::element e) {
    int64_t v = 0;
    if (e.type() == simdjson::dom::element_type::INT64) return int64_t(e);
    if (e.type() == simdjson::dom::element_type::UINT64) {
        uint64_t u = uint64_t(e);
        if (u <= uint64_t(INT64_MAX)) v = int64_t(u);
    }
    return v;
}

}  // namespace

bool keep_message(Value top, Builder& changes, int64_t& publish_time) {
    if (!top.is_object() || top.elements().empty()) return false;
    int64_t pt = 0;
    top.find("pt").get_i64(pt);
    if (pt < 1) return false;
    Value mc = top.find("mc");
    changes.clear();
    if (mc.is_array()) {
        changes.raw(mc.data(), mc.encoded_size());
    } else if (top.find("marketDefinition") || top.find("rc")) {
        changes.begin_array();
        changes.raw(top.data(), top.encoded_size());
        changes.end_container();
    } else {
        return false;
    }
    publish_time = pt;
    return true;
}

LineParser::Message LineParser::parse_message(std::string_view line, Builder& changes,
                                              int64_t& publish_time, std::string& error) {
    simdjson::dom::element root;
    if (!fast_->parse(line.data(), line.size(), false).get(root)) {
        if (root.type() != simdjson::dom::element_type::OBJECT) return Message::Skip;
        // Only the market changes are converted; the last of a repeated key wins.
        simdjson::dom::element pt, mc;
        bool has_pt = false, has_mc = false, bare = false, any = false;
        for (simdjson::dom::key_value_pair kv : simdjson::dom::object(root)) {
            any = true;
            if (kv.key == "pt") {
                pt = kv.value;
                has_pt = true;
            } else if (kv.key == "mc") {
                mc = kv.value;
                has_mc = true;
            } else if (kv.key == "marketDefinition" || kv.key == "rc") {
                bare = true;
            }
        }
        if (!any || !has_pt) return Message::Skip;
        int64_t time = publish_time_of(pt);
        if (time < 1) return Message::Skip;
        changes.clear();
        bool converted;
        if (has_mc && mc.type() == simdjson::dom::element_type::ARRAY) {
            converted = convert(mc, changes, 1);
        } else if (bare) {
            changes.begin_array();
            converted = convert(root, changes, 0);
            changes.end_container();
        } else {
            return Message::Skip;
        }
        if (converted) {
            publish_time = time;
            return Message::Keep;
        }
    }
    // Refused (a fault, a number beyond 64 bits, too deep): the exact parser
    // decides, and describes the fault precisely.
    if (!parse_precise(line, tree_, error)) return Message::Error;
    return keep_message(tree_.root(), changes, publish_time) ? Message::Keep : Message::Skip;
}

LineParser::LineParser() : fast_(std::make_unique<simdjson::dom::parser>()) {
    // The fast parser refuses exactly what nests deeper than we allow, so the
    // parts of a line that are not converted are held to the limit too.
    if (fast_->allocate(1 << 16, kMaxDepth)) throw std::bad_alloc();
}
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
