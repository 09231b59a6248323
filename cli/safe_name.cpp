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
    if (name_to_utf8(name).size() > kHostNameMax)
        return "name longer than the host's 255 bytes in UTF-8";
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
    if (out.size() > kHostNameMax) {
        changed = true;
        out = fit_name(out);
    }
    return out;
}

namespace {

// Where the extension of `name` starts (its last dot), or its size when it has
// none: a leading dot or one at the very end starts no extension.
size_t extension_at(const std::string &name) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size() ||
        name.find_first_not_of('.', 0) > dot)
        return name.size();
    return dot;
}

// `head` + `tail` in at most `max` bytes: `head` cut at a character boundary,
// and `tail` dropped too when it takes more than a quarter of `max`.
std::string fit_parts(const std::string &head, const std::string &mid, std::string tail,
                      size_t max) {
    if (head.size() + mid.size() + tail.size() <= max) return head + mid + tail;
    std::string base = head;
    if (tail.size() > max / 4) {
        base += tail;
        tail.clear();
    }
    size_t keep = max - mid.size() - tail.size();
    // A UTF-8 continuation byte at the cut: the character it belongs to goes whole.
    while (keep > 0 && keep < base.size() &&
           (static_cast<unsigned char>(base[keep]) & 0xC0) == 0x80)
        --keep;
    return base.substr(0, keep) + mid + tail;
}

} // namespace

std::string fit_name(const std::string &name, size_t max) {
    if (name.size() <= max) return name;
    const size_t dot = extension_at(name);
    return fit_parts(name.substr(0, dot), "", name.substr(dot), max);
}

std::string numbered_name(const std::string &name, unsigned n) {
    const size_t dot = extension_at(name);
    std::string tag = std::to_string(n);
    tag.insert(tag.begin(), '~');
    return fit_parts(name.substr(0, dot), tag, name.substr(dot), kHostNameMax);
}

std::string fat_name_problem(std::string_view name) {
    std::u32string cps;
    if (!utf8_to_u32(name, cps)) return "name is not valid UTF-8, which FAT names must be";
    if (cps.empty()) return "a FAT name cannot be empty";
    if (name == "." || name == "..") return "a FAT name cannot be \".\" or \"..\"";
    size_t units = 0;
    for (char32_t c : cps) {
        units += c >= 0x10000 ? 2 : 1;
        if (c < 0x20)
            return "name holds a control character (" + escape_display(std::u32string(1, c)) +
                   "), which FAT names cannot hold";
        if (std::u32string_view(U"\"*/:<>?\\|").find(c) != std::u32string_view::npos)
            return std::string("name holds '") + static_cast<char>(c) +
                   "', which FAT names cannot hold";
    }
    if (cps.back() == U'.' || cps.back() == U' ')
        return "a FAT name cannot end in a dot or a space";
    if (units > DV_NAME_MAX)
        return "name longer than the " + std::to_string(DV_NAME_MAX) +
               " UTF-16 units a FAT name holds";
    return "";
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
