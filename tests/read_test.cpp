// Reading blocks forwards and backwards: round trips of every block kind and
// buffer shape, damaged images, and blocks too large for the reader.
#include "ORVtape.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace testsupport;

namespace {

constexpr unsigned char kFill = 0xA5;
constexpr std::size_t kGuard = 64;

// A caller buffer with guard bytes on both sides, all set to kFill.
struct Guarded {
    Bytes mem;
    std::size_t size;
    explicit Guarded(std::size_t n) : mem(n + 2 * kGuard, kFill), size(n) {}
    unsigned char* data() { return mem.data() + kGuard; }
    bool guardsIntact() const {
        auto fill = [](unsigned char b) { return b == kFill; };
        return std::all_of(mem.begin(), mem.begin() + kGuard, fill) &&
               std::all_of(mem.end() - kGuard, mem.end(), fill);
    }
    bool untouched(std::size_t from, std::size_t to) const {
        return std::all_of(mem.begin() + kGuard + from, mem.begin() + kGuard + to,
                           [](unsigned char b) { return b == kFill; });
    }
};

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) append(out, p);
    return out;
}

// Runs of random bytes: bzip2 shrinks them well and fast (periodic data
// sends its block sort down a slow path).
Bytes compressible(std::size_t n, std::uint32_t seed) {
    const Bytes r = pattern(n / 2 + 2, seed);
    Bytes out;
    for (std::size_t k = 0; out.size() < n; k += 2)
        out.insert(out.end(), std::min<std::size_t>(4 + (r[k] & 63), n - out.size()), r[k + 1]);
    return out;
}

// Reads the block ahead (or, backwards, the one behind) into a guarded buffer
// of `size` bytes (a null buffer when size is negative), checks what arrived,
// then moves back so that the block can be read again.
void readAndCheck(ORVtape& t, const Bytes& block, long size, bool backward) {
    SCOPED_TRACE((backward ? "backward, size " : "forward, size ") + std::to_string(size));
    Guarded buf(size < 0 ? 0 : static_cast<std::size_t>(size));
    unsigned char* p = size < 0 ? nullptr : buf.data();
    const unsigned int n = size < 0 ? 0 : static_cast<unsigned int>(size);
    const long long start = t.curPos;
    const int id = t.blockID;
    const int r = backward ? t.readBkwd(p, n) : t.read(p, n);
    ASSERT_EQ(r, static_cast<int>(block.size()));
    EXPECT_TRUE(buf.guardsIntact());
    EXPECT_EQ(t.blockID, id + (backward ? -1 : 1));
    EXPECT_FALSE(t.tapemark);
    const std::size_t m = std::min<std::size_t>(buf.size, block.size());
    if (backward) {
        EXPECT_TRUE(std::equal(block.end() - m, block.end(), buf.data() + buf.size - m));
        EXPECT_TRUE(buf.untouched(0, buf.size - m));
        ASSERT_EQ(t.fsr(1), 0);
    } else {
        EXPECT_TRUE(std::equal(block.begin(), block.begin() + m, buf.data()));
        EXPECT_TRUE(buf.untouched(m, buf.size));
        ASSERT_EQ(t.bsr(1), 0);
    }
    EXPECT_EQ(t.curPos, start);
}

void readEveryWay(ORVtape& t, const Bytes& block, bool backward) {
    const long len = static_cast<long>(block.size());
    for (long size : {len, len + 100, len / 2, 1L, 0L, -1L}) readAndCheck(t, block, size, backward);
}

}  // namespace

TEST(Read, EveryBlockKindRoundTripsForwardsAndBackwards) {
    TempDir dir;
    for (int kind = 0; kind < 4; ++kind) {
        for (int segLen : {65535, 16}) {
            SCOPED_TRACE("kind " + std::to_string(kind) + ", segment " + std::to_string(segLen));
            const std::string path = dir.path("k" + std::to_string(kind) + "s" + std::to_string(segLen));
            ORVtape t;
            ASSERT_EQ(t.open(path.c_str(), false), 0);
            t.compressOn = kind & 1;
            t.encryptOn = kind & 2;
            t.maxSegLen = segLen;
            std::vector<Bytes> blocks;
            std::vector<long long> starts;
            // Many short segments per block, or a block that spans two full ones.
            for (std::size_t len : {1u, 16u, 17u, 1000u, segLen == 16 ? 3000u : 70000u}) {
                blocks.push_back(compressible(len, static_cast<std::uint32_t>(len)));
                starts.push_back(t.curPos);
                ASSERT_EQ(t.write(blocks.back().data(), static_cast<unsigned>(len)), static_cast<int>(len));
            }
            starts.push_back(t.curPos);
            const Bytes image = readFile(path);
            ASSERT_EQ(static_cast<long long>(image.size()), starts.back());
            for (std::size_t i = 0; i < blocks.size(); ++i) {
                // The writer really stored the transform asked for (bzip2 only
                // where it shrinks the block).
                unsigned char xform = 0;
                if (t.compressOn && blocks[i].size() >= 1000) xform |= 0x81;
                if (t.encryptOn) xform |= 0x82;
                EXPECT_EQ(image[starts[i] + 5], xform) << "block " << i;
            }

            ASSERT_EQ(t.rew(), 0);
            for (std::size_t i = 0; i < blocks.size(); ++i) {
                readEveryWay(t, blocks[i], false);
                ASSERT_EQ(t.fsr(1), 0);
                EXPECT_EQ(t.curPos, starts[i + 1]);
            }
            EXPECT_EQ(t.read(nullptr, 0), -2);
            for (std::size_t i = blocks.size(); i-- > 0;) {
                readEveryWay(t, blocks[i], true);
                ASSERT_EQ(t.bsr(1), 0);
                EXPECT_EQ(t.curPos, starts[i]);
            }
            EXPECT_TRUE(t.bot);
            EXPECT_EQ(t.blockID, 0);
        }
    }
}

TEST(Read, LargestBlocksRoundTrip) {
    TempDir dir;
    const std::string path = dir.path("big.tape");
    const Bytes plain = pattern(4194304, 7);
    const Bytes packed = compressible(4194304, 8);
    ORVtape t;
    ASSERT_EQ(t.open(path.c_str(), false), 0);
    ASSERT_EQ(t.write(plain.data(), 4194304), 4194304);
    t.compressOn = t.encryptOn = true;
    ASSERT_EQ(t.write(packed.data(), 4194304), 4194304);
    EXPECT_EQ(t.write(packed.data(), 4194305), -13);
    readAndCheck(t, packed, 4194304, true);
    readAndCheck(t, packed, 1000, true);
    ASSERT_EQ(t.rew(), 0);
    readAndCheck(t, plain, 4194304, false);
    readAndCheck(t, plain, 5000000, false);
}

TEST(Read, TapemarkAndEndOfData) {
    TempDir dir;
    const std::string path = dir.path("tm.tape");
    // Forwards a header with TM is a tapemark whatever else it carries;
    // backwards only a bare one is.
    writeFile(path, join({header(0, 0, 0x40, 0), header(0, 0, 0xC0, 0)}));
    ORVtape t;
    ASSERT_EQ(t.open(path.c_str(), true), 0);
    Guarded buf(8);
    for (int i = 1; i <= 2; ++i) {
        EXPECT_EQ(t.read(buf.data(), 8), 0);
        EXPECT_TRUE(t.tapemark && t.fileNumber == i && t.blockID == i && t.curPos == 6 * i);
    }
    EXPECT_EQ(t.read(buf.data(), 8), -2);
    EXPECT_EQ(t.readBkwd(buf.data(), 8), -10);
    EXPECT_TRUE(t.tapemark && t.fileNumber == 2 && t.blockID == 2 && t.curPos == 12);
    // Stepping back over a tapemark never counts the files below 0.
    ASSERT_TRUE(t.setPosition(6));
    t.fileNumber = 0;
    EXPECT_EQ(t.readBkwd(buf.data(), 8), 0);
    EXPECT_TRUE(t.tapemark && t.bot && t.fileNumber == 0 && t.blockID == 1);
    EXPECT_TRUE(buf.untouched(0, 8) && buf.guardsIntact());
}

namespace {

const Bytes kGood = pattern(10, 3);

// Puts `tail` after a tapemark and a good 10-byte block, reads it with a
// guarded buffer of `size` bytes and expects `code`; then proves that the tape is back at
// the damaged block with counters and header fields as before: spacing over
// it (when `spaceable`), a step back, and a write that must chain its
// prevLen to the good block.
void checkDamaged(const Bytes& tail, int code, bool spaceable = false, std::size_t size = 64) {
    TempDir dir;
    const std::string path = dir.path("damaged.tape");
    writeFile(path, join({header(0, 0, 0x40, 0), header(10, 0, 0xA0, 0), kGood, tail}));
    ORVtape t;
    ASSERT_EQ(t.open(path.c_str(), false), 0);
    ASSERT_EQ(t.fsr(2), 0);
    ASSERT_EQ(t.curPos, 22);

    Guarded buf(size);
    EXPECT_EQ(t.read(buf.data(), static_cast<unsigned>(size)), code);
    EXPECT_EQ(t.lastRC, code);
    EXPECT_TRUE(buf.guardsIntact());
    t.getPosition();
    EXPECT_EQ(t.curPos, 22);
    EXPECT_EQ(t.blockID, 2);
    EXPECT_EQ(t.fileNumber, 1);
    EXPECT_FALSE(t.tapemark);
    EXPECT_EQ(t.curBlkLen, 10);
    if (spaceable) {
        EXPECT_EQ(t.fsr(1), 0);
        EXPECT_EQ(t.blockID, 3);
        EXPECT_EQ(t.bsr(1), 0);
        EXPECT_EQ(t.curPos, 22);
    }

    Guarded back(10);
    EXPECT_EQ(t.readBkwd(back.data(), 10), 10);
    EXPECT_TRUE(std::equal(kGood.begin(), kGood.end(), back.data()));
    ASSERT_EQ(t.fsr(1), 0);
    ASSERT_EQ(t.write("x", 1), 1);
    const Bytes after = readFile(path);
    ASSERT_EQ(after.size(), 29u);
    EXPECT_EQ(Bytes(after.begin() + 22, after.begin() + 28), header(1, 10, 0xA0, 0));
}

Bytes seg(unsigned len, unsigned prev, unsigned char f1, unsigned char f2, std::uint32_t seed = 9) {
    Bytes s = header(len, prev, f1, f2);
    append(s, pattern(len, seed));
    return s;
}

}  // namespace

TEST(Read, DamagedHeadersAreRefusedAndTheTapeIsRestored) {
    const struct {
        const char* what;
        Bytes tail;
        int code;
    } cases[] = {
        {"reserved flags1 bit", seg(5, 10, 0xB0, 0), -3},
        {"reserved flags2 bit", seg(5, 10, 0xA0, 0x04), -3},
        {"first segment missing", seg(5, 10, 0x20, 0), -10},
        {"continuation starts a block", join({seg(16, 10, 0x80, 0), seg(5, 16, 0xA0, 0)}), -10},
        {"continuation is a tapemark", join({seg(16, 10, 0x80, 0), header(0, 16, 0x40, 0)}), -10},
        {"empty first segment", header(0, 10, 0xA0, 0), -10},
        {"empty continuation", join({seg(16, 10, 0x80, 0), header(0, 16, 0x20, 0)}), -10},
        {"BZ2 without XFORM", seg(5, 10, 0xA0, 0x01), -10},
        {"SCRAMBLE without XFORM", seg(5, 10, 0xA0, 0x02), -10},
        {"continuation lacks XFORM", join({seg(16, 10, 0x80, 0x82), seg(4, 16, 0x20, 0x02)}), -10},
        {"continuation lacks SCRAMBLE", join({seg(16, 10, 0x80, 0x82), seg(4, 16, 0x20, 0x80)}), -10},
        {"continuation lacks BZ2", join({seg(16, 10, 0x80, 0x81), seg(4, 16, 0x20, 0x82)}), -10},
        {"last segment missing", seg(16, 10, 0x80, 0), -2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        checkDamaged(c.tail, c.code);
    }
    SCOPED_TRACE("segment cut by the end of the image");
    checkDamaged(join({header(100, 10, 0xA0, 0), pattern(40, 4)}), -12, true);
}

TEST(Read, ContinuationWithExtraTransformBitIsAccepted) {
    TempDir dir;
    const std::string path = dir.path("extra.tape");
    const Bytes plain = pattern(20, 5);
    const Bytes stored = scrambled(plain);
    writeFile(path, join({header(16, 0, 0x80, 0x82), Bytes(stored.begin(), stored.begin() + 16),
                          header(4, 16, 0x20, 0x83), Bytes(stored.begin() + 16, stored.end())}));
    ORVtape t;
    ASSERT_EQ(t.open(path.c_str(), true), 0);
    readAndCheck(t, plain, 20, false);
    readAndCheck(t, plain, 7, false);
}

TEST(Read, DamagedCompressedStreamFailsOnlyWhenDelivered) {
    TempDir dir;
    const std::string src = dir.path("src.tape");
    ORVtape w;
    ASSERT_EQ(w.open(src.c_str(), false), 0);
    w.compressOn = true;
    ASSERT_EQ(w.write(compressible(5000, 2).data(), 5000), 5000);
    w.close();
    Bytes stored = readFile(src);
    ASSERT_EQ(stored[5], 0x81);
    const unsigned len = stored[0] | (stored[1] << 8);
    stored[6 + len / 2] ^= 0x5A;
    const Bytes tail = join({header(len, 10, 0xA0, 0x81), Bytes(stored.begin() + 6, stored.end())});
    // bzip2 checks its CRC only at the end of the stream, so deliver it whole.
    checkDamaged(tail, -12, true, 5000);
}

TEST(Read, TransformedBlockBeyondTheReadersWorkBufferFails) {
    TempDir dir;
    const std::string path = dir.path("wide.tape");
    const unsigned big = 6u << 20;
    const Bytes noise = pattern(big, 11);
    const Bytes packed = compressible(big, 12);
    {
        ORVtape w;
        ASSERT_EQ(w.open(path.c_str(), false), 0);
        w.setMaxRecordSize(8 << 20);
        w.compressOn = true;
        ASSERT_EQ(w.write(packed.data(), big), static_cast<int>(big));
        w.compressOn = false;
        w.encryptOn = true;
        ASSERT_EQ(w.write(noise.data(), big), static_cast<int>(big));
    }
    ORVtape t;
    ASSERT_EQ(t.open(path.c_str(), true), 0);
    // Stored small, the compressed block reads forwards into a big enough
    // buffer; backwards it would have to pass the staging area, which the
    // default object sizes for 4 MiB.
    readAndCheck(t, packed, big, false);
    ASSERT_EQ(t.fsr(1), 0);
    Guarded buf(big);
    EXPECT_EQ(t.readBkwd(buf.data(), big), -12);
    EXPECT_TRUE(buf.untouched(0, big) && buf.guardsIntact());
    ASSERT_EQ(t.rew(), 0);
    ASSERT_EQ(t.fsr(1), 0);
    const long long second = t.curPos;
    // The scrambled one does not fit the gathering work buffer at all.
    EXPECT_EQ(t.read(buf.data(), big), -12);
    EXPECT_TRUE(buf.untouched(0, big) && buf.guardsIntact());
    EXPECT_EQ(t.curPos, second);
    EXPECT_EQ(t.blockID, 1);
}
