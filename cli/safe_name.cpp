#include "safe_name.h"

#include "text.h"

namespace dvcli {

const char *unsafe_name(const dv_name &name) {
    if (name.len == 0) return "empty name";
    bool all_dots = name.len <= 2;
    for (uint16_t i = 0; i < name.len; ++i) {
        uint16_t u = name.units[i];
        if (u == '/' || u == '\\') return "name holds a path separator";
        if (u == 0) return "name holds a NUL character";
        if (u != '.') all_dots = false;
    }
    if (all_dots) return "name is \".\" or \"..\"";
    return nullptr;
}

std::string host_name(const dv_name &name, bool keep_controls, bool &changed) {
    changed = false;
    if (name.len == 0) {
        changed = true;
        return "_";
    }
    dv_name copy;
    const dv_name *use = &name;
    for (uint16_t i = 0; i < name.len; ++i) {
        uint16_t u = name.units[i];
        bool bad = u == '/' || u == '\\' || u == 0 || (!keep_controls && (u < 0x20 || u == 0x7F));
        if (u >= 0xD800 && u <= 0xDFFF) {
            // A pair is two units; anything else is a lone surrogate.
            bool pair = u <= 0xDBFF && i + 1 < name.len && name.units[i + 1] >= 0xDC00 &&
                        name.units[i + 1] <= 0xDFFF;
            if (pair)
                ++i;
            else
                changed = true;
        }
        if (!bad) continue;
        if (use == &name) {
            copy = name;
            use = &copy;
        }
        copy.units[i] = '_';
        changed = true;
    }
    std::string out = name_to_utf8(*use);
    if (out == "." || out == "..") {
        changed = true;
        out = std::string(1, '_').append(out);
    }
    return out;
}

std::string numbered_name(const std::string &name, unsigned n) {
    size_t dot = name.rfind('.');
    // A leading dot or one at the very end starts no extension.
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size() ||
        name.find_first_not_of('.', 0) > dot)
        dot = name.size();
    std::string out = name.substr(0, dot);
    out.push_back('~');
    out.append(std::to_string(n)).append(name, dot, std::string::npos);
    return out;
}

uint64_t HostNames::key_of(const std::string &name) {
    // FNV-1a, then a final mix so that the low bits (the table index) depend
    // on every byte.
    uint64_t h = 0xCBF29CE484222325u;
    for (unsigned char c : name) h = (h ^ c) * 0x100000001B3u;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9u;
    h ^= h >> 32;
    h &= ~kFlags;
    return h ? h : 4; // 0 marks an empty slot
}

size_t HostNames::find(uint64_t key) const {
    const size_t mask = slots_.size() - 1;
    for (size_t i = (key >> 2) & mask;; i = (i + 1) & mask)
        if (slots_[i] == 0 || (slots_[i] & ~kFlags) == key) return i;
}

uint64_t HostNames::state(const std::string &name) const {
    if (slots_.empty()) return 0;
    return slots_[find(key_of(name))] & kFlags;
}

void HostNames::mark(const std::string &name, uint64_t flag) {
    // Grown at three quarters full: probes stay short enough for a few
    // lookups per entry.
    if ((count_ + 1) * 4 > slots_.size() * 3) {
        std::vector<uint64_t> old;
        old.swap(slots_);
        slots_.assign(old.empty() ? 64 : old.size() * 2, 0);
        for (uint64_t v : old)
            if (v) slots_[find(v & ~kFlags)] = v;
    }
    const uint64_t key = key_of(name);
    uint64_t &slot = slots_[find(key)];
    if (slot == 0) {
        slot = key;
        ++count_;
    }
    slot |= flag;
}

std::string HostNames::claim(const std::string &wanted, bool own) {
    if (!taken(wanted) && (own || !reserved(wanted))) {
        mark(wanted, kUsed);
        return wanted;
    }
    for (unsigned n = 1;; ++n) {
        std::string candidate = numbered_name(wanted, n);
        if (state(candidate) == 0) {
            mark(candidate, kUsed);
            return candidate;
        }
    }
}

} // namespace dvcli
