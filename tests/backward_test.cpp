// Spacing over records and files in both directions, locate, and broken
// header chains met while stepping back.
#include "ORVtape.h"
#include "support.h"

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

struct Where {
    long long pos;
    int blockID, fileNumber;
    bool tapemark;
};

void expectAt(const ORVtape& t, const Where& w) {
    EXPECT_EQ(t.curPos, w.pos);
    EXPECT_EQ(t.blockID, w.blockID);
    EXPECT_EQ(t.fileNumber, w.fileNumber);
    EXPECT_EQ(t.tapemark, w.tapemark);
    EXPECT_EQ(t.bot, w.pos == 0);
}

// A(100) B(200) TM C(300) TM D(50): blocks 1 to 6 end at these offsets.
const long long kEnd[] = {0, 106, 312, 318, 624, 630, 686};

void writeMixed(ORVtape& t) {
    for (unsigned len : {100u, 200u, 0u, 300u, 0u, 50u}) {
        const Bytes data = pattern(len, len);
        ASSERT_EQ(t.write(data.data(), len), static_cast<int>(len));
    }
    ASSERT_EQ(t.curPos, kEnd[6]);
}

}  // namespace

TEST(Motion, SpacingOverFilesAndRecords) {
    TempDir dir;
    ORVtape t;
    ASSERT_EQ(t.open(dir.path("mixed.tape").c_str(), false), 0);
    writeMixed(t);
    ASSERT_EQ(t.rew(), 0);

    EXPECT_EQ(t.fsr(0), 0);
    EXPECT_EQ(t.fsf(0), 0);
    EXPECT_EQ(t.bsr(0), 0);
    EXPECT_EQ(t.bsf(0), 0);
    expectAt(t, {0, 0, 0, false});
    EXPECT_EQ(t.bsr(1), -4);
    EXPECT_EQ(t.lastRC, -4);
    expectAt(t, {0, 0, 0, false});

    EXPECT_EQ(t.fsf(1), 0);
    expectAt(t, {kEnd[3], 3, 1, true});
    EXPECT_EQ(t.fsr(3), 0);
    expectAt(t, {kEnd[6], 6, 2, false});
    EXPECT_EQ(t.fsr(1), -2);
    expectAt(t, {kEnd[6], 6, 2, false});
    EXPECT_TRUE(t.eot);

    // bsf stops on the load-point side of the tapemark, which reads again.
    EXPECT_EQ(t.bsf(1), 0);
    expectAt(t, {kEnd[4], 4, 1, true});
    EXPECT_FALSE(t.eot);
    EXPECT_EQ(t.read(nullptr, 0), 0);
    expectAt(t, {kEnd[5], 5, 2, true});
    EXPECT_EQ(t.bsr(2), 0);
    expectAt(t, {kEnd[3], 3, 1, false});

    // Running into the load point keeps the steps already done.
    EXPECT_EQ(t.bsf(2), -4);
    expectAt(t, {0, 0, 0, false});

    // Only one tapemark is left after the first: fsf(2) ends at the end.
    EXPECT_EQ(t.fsf(1), 0);
    EXPECT_EQ(t.fsf(2), -2);
    expectAt(t, {kEnd[6], 6, 2, false});

    // A data block and a tapemark from the load point, passed backwards.
    EXPECT_EQ(t.locate(2), 6);
    EXPECT_EQ(t.write(nullptr, 0), 0);
    expectAt(t, {kEnd[3], 3, 1, true});
    EXPECT_EQ(t.bsr(2), 0);
    expectAt(t, {kEnd[1], 1, 0, false});
}

TEST(Motion, LocateInBothDirections) {
    TempDir dir;
    ORVtape t;
    EXPECT_EQ(t.locate(3), -1);
    ASSERT_EQ(t.open(dir.path("mixed.tape").c_str(), false), 0);
    writeMixed(t);

    EXPECT_EQ(t.locate(2), 6);
    expectAt(t, {kEnd[2], 2, 0, true});
    EXPECT_EQ(t.locate(2), 0);
    expectAt(t, {kEnd[2], 2, 0, true});
    EXPECT_EQ(t.locate(5), 2);
    expectAt(t, {kEnd[5], 5, 2, true});
    EXPECT_EQ(t.locate(3), 5);
    expectAt(t, {kEnd[3], 3, 1, false});
    EXPECT_EQ(t.locate(9), -2);
    expectAt(t, {kEnd[6], 6, 2, false});
    EXPECT_EQ(t.locate(0), 6);
    expectAt(t, {0, 0, 0, false});
    ASSERT_EQ(t.fsr(4), 0);
    EXPECT_EQ(t.locate(-5), 4);
    expectAt(t, {0, 0, 0, false});
}

TEST(Motion, StepBackReportsStoredLength) {
    TempDir dir;
    ORVtape t;
    ASSERT_EQ(t.open(dir.path("len.tape").c_str(), false), 0);
    t.maxSegLen = 16;
    const Bytes data = pattern(40, 1);
    ASSERT_EQ(t.write(data.data(), 40), 40);
    const Bytes text(5000, 'z');
    t.compressOn = true;
    const long long second = t.curPos;
    ASSERT_EQ(t.write(text.data(), 5000), 5000);
    const long long stored = t.curPos - second;
    const long long segments = (stored + 21) / 22;  // 16 payload + 6 header bytes each
    int len = -1;
    EXPECT_EQ(t.backSpaceBlock(&len), 0);
    EXPECT_EQ(len, stored - 6 * segments);
    EXPECT_LT(len, 5000);
    EXPECT_EQ(t.curPos, second);
    EXPECT_EQ(t.backSpaceBlock(&len), 0);
    EXPECT_EQ(len, 40);
    EXPECT_TRUE(t.bot);
    EXPECT_EQ(t.backSpaceBlock(&len), -4);

    // Away from the load point with nothing counted, the walk is refused.
    ASSERT_EQ(t.fsr(2), 0);
    t.blockID = 0;
    EXPECT_EQ(t.backSpaceBlock(&len), -14);
    EXPECT_EQ(t.curPos, second + stored);
    EXPECT_EQ(t.blockID, 0);
}

namespace {

// Steps back from `start` (reached by reading forwards from `from`) and
// expects `code` after `steps` good steps.  Then the tape must stand where
// the failing step began, with the header fields of that moment: a write
// there chains its prevLen to `prevThere`.
void checkBrokenChain(const Bytes& img, long long from, unsigned steps, int code, unsigned prevThere) {
    TempDir dir;
    const std::string path = dir.path("chain.tape");
    writeFile(path, img);
    ORVtape t;
    ASSERT_EQ(t.open(path.c_str(), false), 0);
    ASSERT_TRUE(t.setPosition(from));
    while (t.read(nullptr, 0) > 0) {
    }
    ASSERT_EQ(t.curPos, static_cast<long long>(img.size()));
    EXPECT_EQ(t.bsr(steps), 0);
    const long long p = t.curPos;
    const int id = t.blockID;
    EXPECT_EQ(t.bsr(1), code);
    EXPECT_EQ(t.lastRC, code);
    t.getPosition();
    EXPECT_EQ(t.curPos, p);
    EXPECT_EQ(t.blockID, id);
    ASSERT_EQ(t.write("y", 1), 1);
    const Bytes after = readFile(path);
    ASSERT_EQ(static_cast<long long>(after.size()), p + 7);
    EXPECT_EQ(Bytes(after.begin() + p, after.begin() + p + 6), header(1, prevThere, 0xA0, 0));
}

// A block of two segments, 16 and 4 bytes, after a 10-byte block; the last
// segment's prevLen is `prev` and the first six bytes of the first segment's
// payload are `fake`, which a wrong prevLen lands on.
Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) append(out, p);
    return out;
}

Bytes twoSegments(unsigned prev, const Bytes& fake) {
    return join({header(10, 0, 0xA0, 0), pattern(10, 1), header(16, 10, 0x80, 0), fake, pattern(10, 2),
                 header(4, prev, 0x20, 0), pattern(4, 3)});
}

}  // namespace

TEST(Motion, BrokenChainsBackwards) {
    // A first segment whose prevLen leads into the payload before it.
    const Bytes intoPayload = join({header(10, 0, 0xA0, 0), header(4, 0, 0x80, 0), pattern(4, 1),
                                    header(20, 4, 0xA0, 0), pattern(20, 2)});
    // A block without its first segment, at the load point.
    const Bytes headless = join({header(10, 0, 0x20, 0), pattern(10, 1), header(20, 10, 0xA0, 0), pattern(20, 2)});
    const struct {
        const char* what;
        Bytes img;
        long long from;
        unsigned steps;
        int code;
        unsigned prevThere;
    } cases[] = {
        {"sound, back to the load point", twoSegments(16, pattern(6, 4)), 0, 2, -4, 0},
        {"lands on a segment that also ends a block", twoSegments(10, header(10, 0, 0x20, 0)), 0, 0, -10, 4},
        {"lands on reserved flag bits", twoSegments(10, header(10, 0, 0x30, 0)), 0, 0, -2, 4},
        {"points before the load point", twoSegments(60000, pattern(6, 4)), 0, 0, -2, 4},
        {"block end met without its end flag", intoPayload, 0, 1, -10, 4},
        {"first segment missing at the load point", headless, 16, 1, -4, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        checkBrokenChain(c.img, c.from, c.steps, c.code, c.prevThere);
    }
}
