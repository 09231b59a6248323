#include "json.h"

#include "text.h"

namespace dvcli {

// Written in pieces of this size: a listing of any length streams out. The
// buffer has room for a piece and the largest item after it, so it never
// grows (a doubled buffer would be a large part of a listing's memory).
constexpr size_t kFlushAt = 1 << 14;

JsonWriter::JsonWriter(std::FILE *out) : out_(out) {
    buf_.reserve(2 * kFlushAt);
}

void JsonWriter::raw(std::string_view s) {
    if (buf_.size() + s.size() > buf_.capacity()) flush();
    buf_ += s;
    if (buf_.size() >= kFlushAt) flush();
}

void JsonWriter::flush() {
    if (!buf_.empty()) std::fwrite(buf_.data(), 1, buf_.size(), out_);
    buf_.clear();
}

// Whatever precedes a value or a key: the comma, the line break.
void JsonWriter::item() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (stack_.empty()) return;
    Level &l = stack_.back();
    if (!l.empty) buf_ += ',';
    if (l.lines || break_) buf_ += '\n';
    l.empty = false;
    break_ = false;
}

JsonWriter &JsonWriter::begin_array(bool lines) {
    item();
    raw("[");
    stack_.push_back({true, lines});
    return *this;
}

JsonWriter &JsonWriter::begin_object() {
    item();
    raw("{");
    stack_.push_back({false, false});
    return *this;
}

JsonWriter &JsonWriter::end() {
    if (stack_.empty()) return *this;
    raw(stack_.back().array ? "]" : "}");
    stack_.pop_back();
    after_key_ = false;
    return *this;
}

JsonWriter &JsonWriter::key(std::string_view name) {
    item();
    buf_ += '"';
    buf_ += name;
    raw("\":");
    after_key_ = true;
    return *this;
}

JsonWriter &JsonWriter::line_break() {
    break_ = true;
    return *this;
}

JsonWriter &JsonWriter::str(std::u32string_view cps) {
    item();
    raw(json_string(cps));
    return *this;
}

JsonWriter &JsonWriter::str_utf8(std::string_view text) {
    item();
    raw(json_string_utf8(text));
    return *this;
}

JsonWriter &JsonWriter::num(uint64_t n) {
    item();
    raw(std::to_string(n));
    return *this;
}

JsonWriter &JsonWriter::boolean(bool b) {
    item();
    raw(b ? "true" : "false");
    return *this;
}

JsonWriter &JsonWriter::null() {
    item();
    raw("null");
    return *this;
}

void JsonWriter::finish() {
    while (!stack_.empty()) end();
    raw("\n");
    flush();
}

} // namespace dvcli
