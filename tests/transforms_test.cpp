// Work buffers and the payload transforms: sizing and alignment, the length
// prefix, bzip2 in both directions against libbz2 itself, damaged input, and
// the positional scramble.
#include "ORVtape.h"
#include "bzip2_stream.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

using namespace testsupport;

namespace {

char* chars(Bytes& b) { return reinterpret_cast<char*>(b.data()); }

Bytes area(const ORVtape::OrvTapeWorkBuffer& b, std::size_t n) {
    return Bytes(b.aligned, b.aligned + n);
}

// Places bytes in cmpBfr as the read path does before decompress.
void stage(ORVtape& t, const Bytes& stored) {
    char* a = t.cmpBfr.getBfr(0, t.maxRecordSize);
    std::memcpy(a, stored.data(), stored.size());
    t.cmpBfr.dataLen = static_cast<unsigned int>(stored.size());
}

}  // namespace

TEST(WorkBuffer, SizingAlignmentAndGrowth) {
    ORVtape::OrvTapeWorkBuffer b;
    EXPECT_EQ(b.raw, nullptr);
    EXPECT_EQ(b.capacity, 0);
    auto aligned = [&] { return reinterpret_cast<std::uintptr_t>(b.aligned) % 4096 == 0 &&
                                b.aligned >= b.raw && b.aligned - b.raw < 4096; };

    char* p = b.getBfr(0, 0);
    EXPECT_EQ(b.capacity, 4718592);
    EXPECT_TRUE(aligned());
    std::memset(p, 0xA5, static_cast<std::size_t>(b.capacity));  // all of it is ours
    b.dataLen = 77;
    EXPECT_EQ(b.getBfr(4194304, 4194304), p);
    EXPECT_EQ(b.dataLen, 77u);

    b.getBfr(4194305, 4194304);
    EXPECT_EQ(b.capacity, 4718608);
    EXPECT_EQ(b.dataLen, 0u);
    EXPECT_TRUE(aligned());
    b.getBfr(5000000, 0);
    EXPECT_EQ(b.capacity, 5625000);
    p = b.getBfr(0, 8388608);
    EXPECT_EQ(b.capacity, 9437184);
    EXPECT_TRUE(aligned());
    b.dataLen = 5;
    EXPECT_EQ(b.getBfr(100, 0), p);  // never shrinks
    EXPECT_EQ(b.capacity, 9437184);
    EXPECT_EQ(b.dataLen, 5u);
    b.getBfr(9437184, 0);  // nine eighths of the current capacity
    EXPECT_EQ(b.capacity, 10616832);
}

TEST(Transforms, CompressWritesPrefixAndPlainBzip2) {
    ORVtape t;
    struct Case {
        std::size_t len;
        Bytes prefix;
    };
    const Case cases[] = {{0, {0x80}},          {1, {0x81}},
                          {127, {0xFF}},        {128, {0x00, 0x81}},
                          {300, {0x2C, 0x82}},  {65535, {0x7F, 0x7F, 0x83}},
                          {4194304, {0x00, 0x00, 0x00, 0x82}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.len);
        Bytes data(c.len, 'q');
        if (c.len > 2) data[c.len / 2] = 'z';
        Bytes expect = c.prefix;
        append(expect, bzip2(data));
        ASSERT_EQ(t.compress(c.len ? chars(data) : nullptr, static_cast<int>(c.len)),
                  static_cast<int>(expect.size()));
        EXPECT_EQ(area(t.cmpBfr, expect.size()), expect);
    }
}

TEST(Transforms, DecompressContracts) {
    ORVtape t;
    Bytes block = pattern(1000, 2);
    for (std::size_t i = 0; i < block.size(); i += 3) block[i] = 'x';  // compressible
    const Bytes stream = bzip2(block);
    Bytes stored = {0x68, 0x87};  // 1000
    append(stored, stream);

    // Whole block, larger buffer, and the bare length query.
    stage(t, stored);
    Bytes out(2000, 0xEE);
    EXPECT_EQ(t.decompress(chars(out), 2000), 1000);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 1000), block);
    EXPECT_EQ(out[1000], 0xEE);
    Bytes untouched(10, 0xEE);
    EXPECT_EQ(t.decompress(nullptr, 500), 1000);
    EXPECT_EQ(t.decompress(chars(untouched), 0), 1000);
    EXPECT_EQ(untouched, Bytes(10, 0xEE));

    // A short destination gets the beginning and the full length.
    Bytes small(101, 0xEE);
    EXPECT_EQ(t.decompress(chars(small), 100), 1000);
    EXPECT_EQ(Bytes(small.begin(), small.begin() + 100), Bytes(block.begin(), block.begin() + 100));
    EXPECT_EQ(small[100], 0xEE);

    // Prefix values that the stream does not bear out.
    struct Wrong {
        Bytes prefix;
        int size;
    };
    const Wrong wrong[] = {{{0x67, 0x87}, 2000}, {{0x69, 0x87}, 2000},  // 999, 1001
                           {{0xE4}, 2000}, {{0xE4}, 100}};               // 100
    for (const Wrong& w : wrong) {
        Bytes s = w.prefix;
        append(s, stream);
        stage(t, s);
        EXPECT_EQ(t.decompress(chars(out), w.size), -1);
    }

    // A damaged stream.
    Bytes broken = stored;
    for (std::size_t i = 12; i < 40; ++i) broken[i] ^= 0x55;
    stage(t, broken);
    EXPECT_EQ(t.decompress(chars(out), 2000), -1);

    // A prefix that does not end within the valid bytes, whatever lies after
    // them, or that runs past five bytes: no length at all.
    stage(t, Bytes{0x01, 0x02, 0x03, 0x81, 0x81});
    t.cmpBfr.dataLen = 3;
    EXPECT_EQ(t.decompress(nullptr, 0), -1);
    t.cmpBfr.dataLen = 0;
    EXPECT_EQ(t.decompress(nullptr, 0), -1);
    Bytes longPrefix(6, 0x01);
    longPrefix.push_back(0x80);
    append(longPrefix, stream);
    stage(t, longPrefix);
    EXPECT_EQ(t.decompress(nullptr, 0), -1);
    EXPECT_EQ(t.decompress(chars(out), 2000), -1);
}

TEST(Transforms, ScrambleAndUnscramble) {
    ORVtape t;
    Bytes abc = {'a', 'b', 'c'};
    ASSERT_EQ(t.encrypt(chars(abc), 3), 3);
    EXPECT_EQ(area(t.encBfr, 3), (Bytes{0x9E, 0x9C, 0x9E}));

    EXPECT_EQ(t.encrypt(chars(abc), 0), 0);
    Bytes plain = pattern(300, 8);
    ASSERT_EQ(t.encrypt(chars(plain), 300), 300);
    const Bytes s = area(t.encBfr, 300);
    EXPECT_EQ(s, scrambled(plain));
    EXPECT_EQ(s[0] ^ plain[0], 0xFF);  // the stream restarts every 256 bytes
    EXPECT_EQ(s[255], plain[255]);
    EXPECT_EQ(s[256] ^ plain[256], 0xFF);

    // Unscramble what encrypt left, in whole and in part.
    t.encBfr.dataLen = 300;
    Bytes out(400, 0xEE);
    EXPECT_EQ(t.decrypt(chars(out), 400), 300);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 300), plain);
    EXPECT_EQ(out[300], 0xEE);
    Bytes part(101, 0xEE);
    EXPECT_EQ(t.decrypt(chars(part), 100), 300);
    EXPECT_EQ(Bytes(part.begin(), part.begin() + 100), Bytes(plain.begin(), plain.begin() + 100));
    EXPECT_EQ(part[100], 0xEE);
    Bytes none(4, 0xEE);
    EXPECT_EQ(t.decrypt(chars(none), 0), 300);
    EXPECT_EQ(t.decrypt(nullptr, 4), 300);
    EXPECT_EQ(none, Bytes(4, 0xEE));
}

TEST(Transforms, ForeignBzip2ImageReadsBack) {
    // Blocks compressed here, not by the library, in a hand-built image.
    TempDir dir;
    const std::string img = dir.path("foreign.tape");
    Bytes data(5000, 0);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i / 50);
    Bytes payload = {0x08, 0xA7};  // 5000
    append(payload, bzip2(data));
    const Bytes mixed = scrambled(payload);
    const std::size_t half = mixed.size() / 2;

    Bytes image = header(static_cast<unsigned>(payload.size()), 0, 0xA0, 0x81);
    append(image, payload);
    append(image, header(static_cast<unsigned>(half), static_cast<unsigned>(payload.size()), 0x80, 0x83));
    image.insert(image.end(), mixed.begin(), mixed.begin() + half);
    const unsigned rest = static_cast<unsigned>(mixed.size() - half);
    append(image, header(rest, static_cast<unsigned>(half), 0x20, 0x83));
    image.insert(image.end(), mixed.begin() + half, mixed.end());
    append(image, header(0, rest, 0x40, 0));
    writeFile(img, image);

    ORVtape t;
    ASSERT_EQ(t.open(img.c_str(), true), 0);
    Bytes out(6000);
    ASSERT_EQ(t.read(out.data(), 6000), 5000);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 5000), data);
    std::fill(out.begin(), out.end(), 0);
    ASSERT_EQ(t.read(out.data(), 6000), 5000);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 5000), data);
    EXPECT_EQ(t.read(out.data(), 6000), 0);
}
