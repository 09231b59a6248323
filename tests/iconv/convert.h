// One dorvex_iconv call with fresh cursors, checking that they stay consistent and that
// nothing is written beyond the room.
#pragma once

#include <dorvex/iconv.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace dvtest {

using Bytes = std::vector<uint8_t>;

struct Result {
    size_t ret;
    int err;
    size_t consumed;
    Bytes out;
};

constexpr size_t fail = static_cast<size_t>(-1);
constexpr int untouched = 0x5EED;

inline Result convert(const char *to, const char *from, const Bytes &in, size_t room = 64) {
    dorvex_iconv_t cd = dorvex_iconv_open(to, from);
    EXPECT_NE(cd, -1) << to << " <- " << from;
    Bytes buf(room + 1, 0xEE);
    char *ip = const_cast<char *>(reinterpret_cast<const char *>(in.data()));
    size_t il = in.size();
    char *op = reinterpret_cast<char *>(buf.data());
    size_t ol = room;
    int err = untouched;
    size_t r = dorvex_iconv(cd, &ip, &il, &op, &ol, &err);
    size_t written = static_cast<size_t>(op - reinterpret_cast<char *>(buf.data()));
    EXPECT_EQ(written + ol, room);
    EXPECT_EQ(static_cast<size_t>(ip - reinterpret_cast<const char *>(in.data())) + il, in.size());
    EXPECT_EQ(buf[room], 0xEE) << "wrote beyond the room";
    return {r, err, in.size() - il, Bytes(buf.begin(), buf.begin() + written)};
}

} // namespace dvtest
