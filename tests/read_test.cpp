// Reading and motion: round trips of every block kind and buffer shape in
// both directions, spacing and locate as one script, damaged images refused
// with the tape restored, and blocks too large for the reader.
#include "support.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

constexpr std::size_t kGuard = 16;
constexpr unsigned char kFill = 0xA5;

// Reads the block ahead (or behind) into a buffer of `size` bytes fenced by
// guard bytes (no buffer when size is negative), checks what arrived and
// where the tape stands, then moves back so that it can be read again.
void readAndCheck(ORVtape& t, const Bytes& data, long size, bool backward) {
    SCOPED_TRACE((backward ? "backward, size " : "forward, size ") + std::to_string(size));
    const std::size_t n = size < 0 ? 0 : static_cast<std::size_t>(size), m = std::min(n, data.size());
    Bytes buf(n + 2 * kGuard, kFill);
    unsigned char* p = size < 0 ? nullptr : buf.data() + kGuard;
    const Where before = where(t);
    ASSERT_EQ(backward ? t.readBkwd(p, static_cast<unsigned>(n)) : t.read(p, static_cast<unsigned>(n)),
              static_cast<int>(data.size()));
    EXPECT_TRUE(t.blockID == before.blockID + (backward ? -1 : 1) && !t.tapemark && t.lastRC >= 0);
    Bytes expect(n + 2 * kGuard, kFill);
    if (backward) std::copy(data.end() - m, data.end(), expect.begin() + kGuard + n - m);
    else std::copy(data.begin(), data.begin() + m, expect.begin() + kGuard);
    EXPECT_TRUE(buf == expect);
    ASSERT_EQ(backward ? t.fsr(1) : t.bsr(1), 0);
    EXPECT_EQ(where(t), before);
}

}  // namespace

TEST(Read, EveryBlockKindRoundTripsForwardsAndBackwards) {
    for (int kind = 0; kind < 4; ++kind)
        for (int segLen : {65535, 16}) {
            SCOPED_TRACE("kind " + std::to_string(kind) + ", segment " + std::to_string(segLen));
            Mounted m;
            m.t.compressOn = kind & 1, m.t.encryptOn = kind & 2, m.t.maxSegLen = segLen;
            std::vector<Bytes> blocks;
            for (std::size_t len : {1u, 17u, 1000u, segLen == 16 ? 3000u : 70000u}) {
                blocks.push_back(len > 500 ? compressible(len) : pattern(len, static_cast<unsigned>(len)));
                ASSERT_EQ(m.t.write(blocks.back().data(), static_cast<unsigned>(len)), static_cast<int>(len));
            }
            ASSERT_EQ(m.t.rew(), 0);
            for (const Bytes& b : blocks) {
                for (long size : {long(b.size()), long(b.size()) + 100, long(b.size()) / 2, 0L, -1L})
                    readAndCheck(m.t, b, size, false);
                ASSERT_EQ(m.t.fsr(1), 0);
            }
            EXPECT_EQ(m.t.read(nullptr, 0), -2);
            for (auto b = blocks.rbegin(); b != blocks.rend(); ++b) {
                for (long size : {long(b->size()), long(b->size()) + 100, long(b->size()) / 2, 0L})
                    readAndCheck(m.t, *b, size, true);
                ASSERT_EQ(m.t.bsr(1), 0);
            }
            EXPECT_EQ(where(m.t), (Where{0, 0, 0, false}));
        }
}

TEST(Read, MotionScript) {
    ORVtape none;
    EXPECT_EQ(none.locate(3), -1);
    // A(100) B(200, compressed) TM C(40 in segments of 16) TM D(50); block k ends at end[k].
    Mounted m;
    ORVtape& t = m.t;
    long long end[7] = {};
    for (unsigned len : {100u, 200u, 0u, 40u, 0u, 50u}) {
        t.compressOn = len == 200, t.maxSegLen = len == 40 ? 16 : 65535;
        ASSERT_EQ(t.write(compressible(len).data(), len), static_cast<int>(len));
        end[t.blockID] = t.curPos;
    }
    const int stored = static_cast<int>(end[2] - end[1] - 6);
    // op: w rew, f fsr, F fsf, b bsr, B bsf, r read, k readBkwd, l locate,
    // s backSpaceBlock (arg: the length it reports).
    const struct { char op; int arg, rc; Where at; } script[] = {
        {'w', 0, 0, {0, 0, 0, false}},       {'f', 0, 0, {0, 0, 0, false}},     {'F', 0, 0, {0, 0, 0, false}},
        {'b', 0, 0, {0, 0, 0, false}},       {'B', 0, 0, {0, 0, 0, false}},     {'b', 1, -4, {0, 0, 0, false}},
        {'F', 1, 0, {end[3], 3, 1, true}},   {'f', 3, 0, {end[6], 6, 2, false}}, {'f', 1, -2, {end[6], 6, 2, false}},
        {'B', 1, 0, {end[4], 4, 1, true}},   {'r', 0, 0, {end[5], 5, 2, true}},  {'b', 2, 0, {end[3], 3, 1, false}},
        {'s', 0, 0, {end[2], 2, 0, true}},   {'r', 0, 0, {end[3], 3, 1, true}},  {'k', 0, 0, {end[2], 2, 0, true}},
        {'k', 0, 200, {end[1], 1, 0, false}}, {'f', 1, 0, {end[2], 2, 0, false}}, {'s', stored, 0, {end[1], 1, 0, false}},
        {'s', 100, 0, {0, 0, 0, false}},     {'s', 0, -4, {0, 0, 0, false}},     {'F', 1, 0, {end[3], 3, 1, true}},
        {'F', 2, -2, {end[6], 6, 2, false}}, {'B', 2, 0, {end[2], 2, 0, true}},  {'B', 1, -4, {0, 0, 0, false}},
        {'l', 2, 0, {end[2], 2, 0, false}},  {'l', 2, 0, {end[2], 2, 0, false}}, {'l', 5, 2, {end[5], 5, 2, true}},
        {'l', 3, 5, {end[3], 3, 1, false}},  {'l', 9, -2, {end[6], 6, 2, false}}, {'l', 0, 6, {0, 0, 0, false}},
        {'f', 4, 0, {end[4], 4, 1, false}},  {'l', -5, 4, {0, 0, 0, false}},
    };
    for (const auto& s : script) {
        SCOPED_TRACE(std::string("op ") + s.op + " " + std::to_string(s.arg));
        const unsigned n = static_cast<unsigned>(s.arg);
        int len = -1;
        errno = EIO;  // a leftover that a success must not report
        const int rc = s.op == 'f' ? t.fsr(n) : s.op == 'F' ? t.fsf(n) : s.op == 'b' ? t.bsr(n)
                     : s.op == 'B' ? t.bsf(n) : s.op == 'l' ? t.locate(s.arg) : s.op == 'r' ? t.read(nullptr, 0)
                     : s.op == 'k' ? t.readBkwd(nullptr, 50) : s.op == 'w' ? t.rew() : t.backSpaceBlock(&len);
        EXPECT_EQ(rc, s.rc);
        if (s.op != 'l') { EXPECT_EQ(t.lastRC, s.op == 'k' ? 0 : s.rc); }
        if (s.op == 's' && rc == 0) { EXPECT_EQ(len, s.arg); }
        if (strchr("rk", s.op) && rc >= 0) { EXPECT_EQ(t.lastErrno, 0); }
        EXPECT_EQ(where(t), s.at);
        EXPECT_TRUE(t.curPos == s.at.pos && t.bot == (s.at.pos == 0));
    }
    // Away from the load point with nothing counted, a step back is refused.
    ASSERT_EQ(t.fsr(2), 0);
    t.blockID = 0;
    EXPECT_EQ(t.backSpaceBlock(nullptr), -14);
    EXPECT_EQ(where(t), (Where{end[2], 0, 0, false}));
    // Stepping back over a tapemark never counts the files below 0.
    ASSERT_TRUE(t.rew() == 0 && t.fsr(3) == 0);
    t.fileNumber = 0;
    EXPECT_EQ(t.bsr(1), 0);
    EXPECT_EQ(where(t), (Where{end[2], 2, 0, true}));
}

TEST(Read, DamagedImagesAreRefusedAndTheTapeIsRestored) {
    // After a tapemark and a good 10-byte block, `tail` is read and refused
    // with `rc`; the tape must stand where the failing step began, with the
    // header fields of that moment (`prev`: the segment that ends there).
    Bytes broken = Bytes{0x08, 0xA7} + bzip2(compressible(5000));  // 5000 as the length prefix
    broken[broken.size() / 2] ^= 0x5A;
    const Bytes cont16 = segment(16, 10, 0x80);
    // A two-segment block whose last prevLen (10) leads a step back to a fake
    // header hidden in the first segment's payload.
    auto hidden = [](const Bytes& fake) { return header(16, 10, 0x80, 0) + fake + Bytes(10, 1) + segment(4, 10, 0x20); };
    // mode: f read forwards, s the same and the block can still be spaced
    // over, b step back from the end, B the same after one good step.
    const struct { const char* what; Bytes tail; int rc; char mode; int prev; } cases[] = {
        {"reserved flags1 bit", segment(5, 10, 0xB0), -3, 'f', 10},
        {"reserved flags2 bit", segment(5, 10, 0xA0, 0x04), -3, 'f', 10},
        {"first segment missing", segment(5, 10, 0x20), -10, 'f', 10},
        {"continuation starts a block", cont16 + segment(5, 16, 0xA0), -10, 'f', 10},
        {"continuation is a tapemark", cont16 + header(0, 16, 0x40, 0), -10, 'f', 10},
        {"empty first segment", header(0, 10, 0xA0, 0), -10, 'f', 10},
        {"empty continuation", cont16 + header(0, 16, 0x20, 0), -10, 'f', 10},
        {"BZ2 without XFORM", segment(5, 10, 0xA0, 0x01), -10, 'f', 10},
        {"SCRAMBLE without XFORM", segment(5, 10, 0xA0, 0x02), -10, 'f', 10},
        {"continuation lacks XFORM", segment(16, 10, 0x80, 0x82) + segment(4, 16, 0x20, 0x02), -10, 'f', 10},
        {"continuation lacks SCRAMBLE", segment(16, 10, 0x80, 0x82) + segment(4, 16, 0x20, 0x80), -10, 'f', 10},
        {"continuation lacks BZ2", segment(16, 10, 0x80, 0x81) + segment(4, 16, 0x20, 0x82), -10, 'f', 10},
        {"last segment missing", cont16, -2, 'f', 10},
        {"segment cut by the end of the image", header(100, 10, 0xA0, 0) + Bytes(40, 1), -12, 's', 10},
        {"damaged bzip2 stream", block(broken, 65535, 10, 0x81), -12, 's', 10},
        {"step back lands on a block end", hidden(header(10, 0, 0x20, 0)), -10, 'b', 4},
        {"step back lands on reserved bits", hidden(header(10, 0, 0x30, 0)), -2, 'b', 4},
        {"step back meets a tapemark inside a block", hidden(header(10, 0, 0x40, 0)), -10, 'b', 4},
        {"step back before the load point", cont16 + segment(4, 60000, 0x20), -2, 'b', 4},
        {"block end without its end flag", header(10, 10, 0xA0, 0) + segment(4, 0, 0x80) + segment(20, 4, 0xA0), -10,
         'B', 4},
        {"tapemark flagged as data", header(0, 10, 0xC0, 0), -10, 'b', 0},
    };
    const Bytes good = pattern(10, 3);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Mounted m(header(0, 0, 0x40, 0) + header(10, 0, 0xA0, 0) + good + c.tail);
        ORVtape& t = m.t;
        while (c.mode != 'f' && c.mode != 's' && t.read(nullptr, 0) >= 0) {
        }
        ASSERT_EQ(c.mode == 'f' || c.mode == 's' ? t.fsr(2) : t.bsr(c.mode == 'B'), 0);
        const Where at = where(t);
        Bytes buf(6000, kFill);
        EXPECT_EQ(c.mode == 'b' || c.mode == 'B' ? t.bsr(1) : t.read(buf.data(), 5000), c.rc);
        EXPECT_TRUE(t.lastRC == c.rc && t.curBlkLen == c.prev && where(t) == at);
        EXPECT_TRUE(std::all_of(buf.begin() + 5000, buf.end(), [](unsigned char b) { return b == kFill; }));
        EXPECT_TRUE(c.mode != 's' || (t.fsr(1) == 0 && t.bsr(1) == 0 && where(t) == at));
    }
}

TEST(Read, TransformedBlocksBeyondTheReadersWorkBuffers) {
    // Written with an 8 MiB limit; read by an object sized for 4 MiB.
    const unsigned big = 6u << 20;
    const Bytes noise = pattern(big, 11), text = compressible(big);
    Mounted m;
    m.t.setMaxRecordSize(8 << 20);
    m.t.compressOn = true;
    ASSERT_EQ(m.t.write(text.data(), big), static_cast<int>(big));
    m.t.compressOn = false, m.t.encryptOn = true;
    ASSERT_EQ(m.t.write(noise.data(), big), static_cast<int>(big));
    ORVtape t;
    ASSERT_EQ(t.open(m.path.c_str(), true), 0);
    // Stored small, the compressed block reads forwards; backwards it would
    // have to pass the staging area and is refused, before the block.
    readAndCheck(t, text, big, false);
    ASSERT_EQ(t.fsr(1), 0);
    Bytes buf(big, kFill);
    EXPECT_EQ(t.readBkwd(buf.data(), big), -12);
    EXPECT_EQ(where(t), (Where{0, 0, 0, false}));
    // The scrambled one does not fit the gathering work buffer at all.
    ASSERT_EQ(t.fsr(1), 0);
    EXPECT_EQ(t.read(buf.data(), big), -12);
    EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](unsigned char b) { return b == kFill; }));
    EXPECT_EQ(where(t).blockID, 1);
}
