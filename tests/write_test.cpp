// The write path: whole images compared with bytes built by hand, for every
// kind of block, segment size, the prevLen chain, truncation, end of tape and
// refused writes.
#include "support.h"

#include <cerrno>
#include <gtest/gtest.h>

using namespace testsupport;

TEST(Write, EveryKindOfBlockIsByteExact) {
    const Bytes text = compressible(1000), noise = pattern(500, 7), big = pattern(4194305, 5);
    const Bytes packed = Bytes{0x68, 0x87} + bzip2(text);  // 1000 as the length prefix
    const struct {
        const char* what;
        bool compress, scramble;
        int segLen, segAfter;
        const Bytes& data;
        std::size_t length;
        Bytes image;
    } cases[] = {
        {"plain", false, false, 65535, 65535, noise, 300,
         Bytes{0x2C, 0x01, 0x00, 0x00, 0xA0, 0x00} + Bytes(noise.begin(), noise.begin() + 300)},
        {"tapemark", true, true, 65535, 65535, noise, 0, header(0, 0, 0x40, 0)},
        {"small segments", false, false, 10, 16, noise, 40, block(Bytes(noise.begin(), noise.begin() + 40), 16, 0)},
        {"segment size capped", false, false, 70000, 65535, big, 65536,
         block(Bytes(big.begin(), big.begin() + 65536), 65535, 0)},
        {"largest block", false, false, 65535, 65535, big, 4194304,
         block(Bytes(big.begin(), big.end() - 1), 65535, 0)},
        {"compressed", true, false, 64, 64, text, 1000, block(packed, 64, 0, 0x81)},
        {"incompressible stays plain", true, false, 65535, 65535, noise, 500, block(noise, 65535, 0, 0)},
        {"scrambled", false, true, 64, 64, noise, 500, block(scrambled(noise), 64, 0, 0x82)},
        {"compressed, then scrambled", true, true, 64, 64, text, 1000, block(scrambled(packed), 64, 0, 0x83)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Mounted m;
        m.t.compressOn = c.compress, m.t.encryptOn = c.scramble, m.t.maxSegLen = c.segLen;
        const int length = static_cast<int>(c.length);
        EXPECT_EQ(m.t.write(c.data.data(), length), length);
        EXPECT_TRUE(m.t.lastRC == length && m.t.lastErrno == 0 && m.t.maxSegLen == c.segAfter);
        EXPECT_EQ(where(m.t), (Where{static_cast<long long>(c.image.size()), 1, length ? 0 : 1, !length}));
        EXPECT_TRUE(m.t.curPos == m.t.eodPos && m.t.eodPos == static_cast<long long>(c.image.size()));
        EXPECT_EQ(readFile(m.path), c.image);
        // Tapemarks, and blocks written without compression, never need its buffer.
        if (!length || !c.compress) { EXPECT_EQ(m.t.cmpBfr.raw, nullptr); }
    }
}

TEST(Write, ChainTruncationAndEndOfTape) {
    Mounted m;
    ORVtape& t = m.t;
    t.maxSegLen = 16;
    const Bytes x = pattern(40, 9), z = pattern(20, 11);
    ASSERT_EQ(t.write(x.data(), 40), 40);
    ASSERT_EQ(t.wtm(1), 0);
    EXPECT_EQ(t.wtm(0), 0);
    EXPECT_EQ(t.lastRC, 0);
    ASSERT_EQ(t.wtm(2), 0);
    EXPECT_EQ(where(t), (Where{76, 4, 3, true}));
    const Bytes marks = header(0, 8, 0x40, 0) + header(0, 0, 0x40, 0) + header(0, 0, 0x40, 0);
    ASSERT_EQ(readFile(m.path), block(x, 16, 0) + marks);

    // The next block chains to the segment that ends where it starts, and
    // everything after it goes.
    const struct { unsigned skip; unsigned prev; } rewrites[] = {{2, 0}, {1, 8}, {0, 0}};
    for (const auto& r : rewrites) {
        ASSERT_EQ(t.rew(), 0);
        ASSERT_EQ(t.fsr(r.skip), 0);
        ASSERT_EQ(t.write(z.data(), 20), 20);
        const Bytes kept(block(x, 16, 0) + marks);
        const std::size_t keep = r.skip == 0 ? 0 : r.skip == 1 ? 58 : 64;
        EXPECT_EQ(readFile(m.path), Bytes(kept.begin(), kept.begin() + keep) + block(z, 16, r.prev));
        EXPECT_EQ(t.eodPos, static_cast<long long>(keep + 32));
        EXPECT_EQ(where(t), (Where{static_cast<long long>(keep + 32), static_cast<int>(r.skip) + 1, r.skip == 2, false}));
    }

    // The capacity warning, and without one the old end of data decides.
    t.maxTapeLen = 46;  // the image holds 32 bytes; each block adds 7
    ASSERT_EQ(t.write(z.data(), 1), 1);
    EXPECT_FALSE(t.eot);
    ASSERT_EQ(t.write(z.data(), 1), 1);
    EXPECT_TRUE(t.eot);
    t.maxTapeLen = 0;
    ASSERT_EQ(t.rew(), 0);
    ASSERT_EQ(t.write(z.data(), 1), 1);
    EXPECT_FALSE(t.eot);
}

TEST(Write, RefusedWritesLeaveTheImageAlone) {
    Mounted m;
    const Bytes before = readFile(m.path), big = pattern(8388608, 3);
    EXPECT_TRUE(m.t.write(nullptr, 10) == -12 && m.t.lastErrno == EFAULT);  // data without a pointer
    EXPECT_TRUE(m.t.write(big.data(), 4194305) == -13 && m.t.lastRC == -13);
    EXPECT_TRUE(where(m.t) == (Where{0, 0, 0, true}) && readFile(m.path) == before);
    m.t.setMaxRecordSize(8388608);
    EXPECT_EQ(m.t.write(big.data(), 8388608), 8388608);
}
