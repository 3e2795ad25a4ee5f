// Work buffers and the payload transforms: sizing and alignment, the length
// prefix with bzip2 against libbz2 itself, and damaged input.  The scramble
// is pinned byte for byte by the write tests.
#include "support.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {
char* chars(Bytes& b) { return reinterpret_cast<char*>(b.data()); }
Bytes area(const ORVtape::OrvTapeWorkBuffer& b, std::size_t n) { return Bytes(b.aligned, b.aligned + n); }
}  // namespace

TEST(Transforms, WorkBuffersCompressAndDecompress) {
    ORVtape::OrvTapeWorkBuffer b;
    EXPECT_TRUE(b.raw == nullptr && b.aligned == nullptr && b.capacity == 0 && b.dataLen == 0);  // allocates nothing
    // need, minimum -> capacity, and whether the area stays.
    const struct { int need, minimum, capacity; bool kept; } steps[] = {
        {0, 0, 4718592, false},      {4194304, 4194304, 4718592, true}, {4194305, 4194304, 4718608, false},
        {5000000, 0, 5625000, false}, {0, 8388608, 9437184, false},     {100, 0, 9437184, true},
        {9437184, 0, 10616832, false}};
    for (const auto& s : steps) {
        b.dataLen = 77;
        char* p = b.getBfr(s.need, s.minimum);
        EXPECT_TRUE(p == b.aligned && b.capacity == s.capacity);
        EXPECT_EQ(b.dataLen, s.kept ? 77u : 0u);  // a replaced area holds no data
        EXPECT_TRUE(reinterpret_cast<std::uintptr_t>(p) % 4096 == 0 && p >= b.raw && p - b.raw < 4096);
        std::memset(p, 0xA5, static_cast<std::size_t>(b.capacity));  // all of it is ours
    }
    ORVtape t;
    const struct { std::size_t len; Bytes prefix; } lengths[] = {
        {0, {0x80}}, {127, {0xFF}}, {128, {0x00, 0x81}}, {1000, {0x68, 0x87}}, {65535, {0x7F, 0x7F, 0x83}}};
    for (const auto& c : lengths) {
        Bytes data = compressible(c.len);
        const Bytes expect = c.prefix + bzip2(data);
        ASSERT_EQ(t.compress(c.len ? chars(data) : nullptr, static_cast<int>(c.len)), static_cast<int>(expect.size()));
        EXPECT_EQ(area(t.cmpBfr, expect.size()), expect);
    }
    EXPECT_TRUE(t.compress(nullptr, -1) == -1 && t.encrypt(nullptr, 5) == 5);  // nothing to read from
    const Bytes block = compressible(1000), stream = bzip2(block);
    Bytes broken = Bytes{0x68, 0x87} + stream;
    for (std::size_t i = 12; i < 40; ++i) broken[i] ^= 0x55;
    const Bytes fill(2001, 0xEE);
    // stored bytes, valid length (-1: all), destination size -> result, bytes delivered.
    const struct { const char* what; Bytes stored; int valid, size, rc, delivered; } cases[] = {
        {"whole block", Bytes{0x68, 0x87} + stream, -1, 2000, 1000, 1000},
        {"short destination", Bytes{0x68, 0x87} + stream, -1, 100, 1000, 100},
        {"length only", Bytes{0x68, 0x87} + stream, -1, 0, 1000, 0},
        {"prefix one short", Bytes{0x67, 0x87} + stream, -1, 2000, -1, 999},
        {"prefix one long", Bytes{0x69, 0x87} + stream, -1, 2000, -1, -1},
        {"prefix far short", Bytes{0xE4} + stream, -1, 100, -1, -1},
        {"damaged stream", broken, -1, 2000, -1, -1},
        {"prefix beyond the valid bytes", {0x01, 0x02, 0x03, 0x81}, 3, 0, -1, 0},
        {"no valid bytes", {0x81}, 0, 0, -1, 0},
        {"prefix longer than five bytes", Bytes{1, 1, 1, 1, 1, 1, 0x80} + stream, -1, 2000, -1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::memcpy(t.cmpBfr.getBfr(0, 0), c.stored.data(), c.stored.size());
        t.cmpBfr.dataLen = static_cast<unsigned>(c.valid < 0 ? c.stored.size() : c.valid);
        Bytes out = fill;
        EXPECT_EQ(t.decompress(chars(out), c.size), c.rc);
        if (c.delivered >= 0) {
            EXPECT_TRUE(std::equal(block.begin(), block.begin() + c.delivered, out.begin()));
            EXPECT_TRUE(std::equal(out.begin() + c.delivered, out.end(), fill.begin()));
        }
        if (c.size == 0) { EXPECT_EQ(t.decompress(nullptr, 500), c.rc); }
    }
}
