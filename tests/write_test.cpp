// The write path: whole images compared with bytes built here by hand,
// segmenting, truncation, the prevLen chain, end of tape, and failures that
// are really provoked (file size limit, read-only descriptor, failed flush).
#include "ORVtape.h"
#include "bzip2_stream.h"
#include "support.h"

#include <bzlib.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/mman.h>
#include <sys/resource.h>

using namespace testsupport;

namespace {

Bytes tapemark(unsigned prev = 0) { return header(0, prev, 0x40, 0); }

// One block as it must lie in the image: the payload in pieces of seg bytes.
Bytes block(const Bytes& payload, unsigned seg, unsigned prev, unsigned char f2) {
    Bytes out;
    for (std::size_t off = 0; off < payload.size(); off += seg) {
        const std::size_t n = std::min<std::size_t>(seg, payload.size() - off);
        const unsigned char f1 = (off == 0 ? 0x80 : 0) | (off + n == payload.size() ? 0x20 : 0);
        append(out, header(static_cast<unsigned>(n), prev, f1, f2));
        out.insert(out.end(), payload.begin() + off, payload.begin() + off + n);
        prev = static_cast<unsigned>(n);
    }
    return out;
}

Bytes head(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + n); }

}  // namespace

TEST(Write, PlainAndTransformedBlocksAreByteExact) {
    TempDir dir;
    const std::string img = dir.path("x.tape");
    ORVtape t;
    ASSERT_EQ(t.open(img.c_str(), false), 0);
    t.maxSegLen = 64;  // every transformed block spans several segments
    const Bytes a = pattern(100), noise = pattern(500, 7);
    Bytes b(1000, 't');  // compresses to a little over one segment
    for (int i = 0; i < 150; ++i) b[i] = 'a' + (noise[i] & 1);
    ASSERT_EQ(t.write(a.data(), 100), 100);
    t.compressOn = true;
    ASSERT_EQ(t.write(b.data(), 1000), 1000);
    t.compressOn = false;
    t.encryptOn = true;
    ASSERT_EQ(t.write(a.data(), 100), 100);
    t.compressOn = true;
    ASSERT_EQ(t.write(b.data(), 1000), 1000);
    ASSERT_EQ(t.write(noise.data(), 500), 500);  // does not shrink: scrambled only
    EXPECT_EQ(t.lastRC, 500);
    EXPECT_EQ(t.blockID, 5);

    Bytes packed = {0x68, 0x87};  // 1000 as the length prefix
    append(packed, bzip2(b));
    ASSERT_TRUE(packed.size() > 64 && packed.size() <= 128) << packed.size();
    const unsigned last = static_cast<unsigned>((packed.size() - 1) % 64 + 1);
    Bytes expect = block(a, 64, 0, 0x00);
    append(expect, block(packed, 64, 36, 0x81));
    append(expect, block(scrambled(a), 64, last, 0x82));
    append(expect, block(scrambled(packed), 64, 36, 0x83));
    append(expect, block(scrambled(noise), 64, last, 0x82));
    const Bytes image = readFile(img);
    EXPECT_EQ(image, expect);
    EXPECT_EQ(t.eodPos, static_cast<long long>(expect.size()));
    EXPECT_EQ(t.curPos, t.eodPos);

    // The stored stream is plain bzip2 behind the prefix, joined across segments.
    Bytes stored(image.begin() + 112 + 6, image.begin() + 112 + 70);
    stored.insert(stored.end(), image.begin() + 112 + 76, image.begin() + 112 + 76 + last);
    Bytes back(2000);
    unsigned int backLen = 2000;
    ASSERT_EQ(BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(back.data()), &backLen,
                                         reinterpret_cast<char*>(stored.data()) + 2,
                                         static_cast<unsigned int>(stored.size() - 2), 0, 0),
              BZ_OK);
    EXPECT_EQ(head(back, backLen), b);
}

TEST(Write, SegmentSizesAndRecordLimit) {
    TempDir dir;
    const std::string img = dir.path("s.tape");
    ORVtape t;
    ASSERT_EQ(t.open(img.c_str(), false), 0);
    const Bytes big = pattern(4194305, 5);
    t.maxSegLen = 10;
    ASSERT_EQ(t.write(big.data(), 40), 40);
    EXPECT_EQ(t.maxSegLen, 16);
    Bytes expect = header(16, 0, 0x80, 0);
    expect.insert(expect.end(), big.begin(), big.begin() + 16);
    append(expect, header(16, 16, 0x00, 0));
    expect.insert(expect.end(), big.begin() + 16, big.begin() + 32);
    append(expect, header(8, 16, 0x20, 0));
    expect.insert(expect.end(), big.begin() + 32, big.begin() + 40);
    EXPECT_EQ(readFile(img), expect);

    t.maxSegLen = 70000;
    ASSERT_EQ(t.write(big.data(), 65535), 65535);
    EXPECT_EQ(t.maxSegLen, 65535);
    ASSERT_EQ(t.write(big.data(), 65536), 65536);
    ASSERT_EQ(t.write(big.data(), 4194304), 4194304);  // exactly maxRecordSize
    append(expect, block(head(big, 65535), 65535, 8, 0));
    append(expect, block(head(big, 65536), 65535, 65535, 0));
    append(expect, block(head(big, 4194304), 65535, 1, 0));
    const Bytes image = readFile(img);
    ASSERT_EQ(image, expect);
    auto at = [&](std::size_t off) { return Bytes(image.begin() + off, image.begin() + off + 6); };
    EXPECT_EQ(at(58), header(65535, 8, 0xA0, 0));
    EXPECT_EQ(at(58 + 65541), header(65535, 65535, 0x80, 0));
    EXPECT_EQ(at(58 + 2 * 65541), header(1, 65535, 0x20, 0));
    EXPECT_EQ(at(image.size() - 70), header(64, 65535, 0x20, 0));

    // One byte over the limit: refused before anything moves.
    const long long pos = t.curPos;
    EXPECT_EQ(t.write(big.data(), 4194305), -13);
    EXPECT_EQ(t.lastRC, -13);
    EXPECT_EQ(t.curPos, pos);
    EXPECT_EQ(t.blockID, 4);
    EXPECT_EQ(fileSize(img), static_cast<long long>(expect.size()));
}

TEST(Write, TapemarksTruncationAndPrevLenChain) {
    TempDir dir;
    const std::string img = dir.path("m.tape");
    ORVtape t;
    ASSERT_EQ(t.open(img.c_str(), false), 0);
    t.maxSegLen = 16;
    const Bytes x = pattern(40, 9), z = pattern(20, 11);
    ASSERT_EQ(t.write(x.data(), 40), 40);
    t.compressOn = t.encryptOn = true;  // tapemarks ignore the transforms
    ASSERT_EQ(t.write(x.data(), 0), 0);
    ASSERT_EQ(t.write(nullptr, 0), 0);
    ASSERT_EQ(t.wtm(1), 0);
    EXPECT_EQ(t.fileNumber, 3);
    EXPECT_EQ(t.blockID, 4);
    EXPECT_TRUE(t.tapemark);
    EXPECT_EQ(t.wtm(0), 0);
    ASSERT_EQ(t.wtm(3), 0);
    EXPECT_EQ(t.fileNumber, 6);
    EXPECT_EQ(t.blockID, 7);
    Bytes expect = block(x, 16, 0, 0);
    append(expect, tapemark(8));
    for (int i = 0; i < 5; ++i) append(expect, tapemark());
    ASSERT_EQ(readFile(img), expect);
    ASSERT_EQ(t.eodPos, 94);
    t.compressOn = t.encryptOn = false;

    // After reading a tapemark the next block chains to 0, and the rest goes.
    Bytes in(100);
    ASSERT_EQ(t.rew(), 0);
    ASSERT_EQ(t.read(in.data(), 100), 40);
    ASSERT_EQ(t.read(in.data(), 100), 0);
    ASSERT_EQ(t.write(z.data(), 20), 20);
    expect.resize(64);
    append(expect, block(z, 16, 0, 0));
    EXPECT_EQ(readFile(img), expect);
    EXPECT_EQ(t.eodPos, 96);
    EXPECT_FALSE(t.tapemark);

    // After reading a data block: the curLen of its last segment.
    ASSERT_EQ(t.rew(), 0);
    ASSERT_EQ(t.read(in.data(), 100), 40);
    ASSERT_EQ(t.write(z.data(), 20), 20);
    expect.resize(58);
    append(expect, block(z, 16, 8, 0));
    EXPECT_EQ(readFile(img), expect);
    EXPECT_EQ(t.eodPos, 90);

    // After rewinding: 0, and only the new block remains.
    ASSERT_EQ(t.rew(), 0);
    ASSERT_EQ(t.write(z.data(), 20), 20);
    EXPECT_EQ(readFile(img), block(z, 16, 0, 0));
    EXPECT_EQ(t.blockID, 1);
}

TEST(Write, EndOfTapeWarning) {
    TempDir dir;
    ORVtape t;
    ASSERT_EQ(t.open(dir.path("e.tape").c_str(), false), 0);
    const Bytes d = pattern(50);
    t.maxTapeLen = 100;
    ASSERT_EQ(t.write(d.data(), 50), 50);  // ends at 56
    EXPECT_FALSE(t.eot);
    ASSERT_EQ(t.write(d.data(), 38), 38);  // ends at exactly 100
    EXPECT_TRUE(t.eot);
    // Without a capacity the old end of data decides.
    t.maxTapeLen = 0;
    ASSERT_EQ(t.rew(), 0);
    ASSERT_EQ(t.write(d.data(), 10), 10);  // ends at 16, short of 100
    EXPECT_FALSE(t.eot);
    ASSERT_EQ(t.write(d.data(), 10), 10);  // at the end of data
    EXPECT_TRUE(t.eot);

    // A plain session never needs the transform buffers.
    ASSERT_EQ(t.wtm(2), 0);
    EXPECT_EQ(t.cmpBfr.raw, nullptr);
    EXPECT_EQ(t.encBfr.raw, nullptr);
}

TEST(Write, RefusedWritesLeaveTheImageAlone) {
    TempDir dir;
    const std::string img = dir.path("r.tape");
    Bytes five;
    for (int i = 0; i < 5; ++i) append(five, tapemark());
    {
        ORVtape t;
        ASSERT_EQ(t.open(img.c_str(), false), 0);
        EXPECT_LT(t.write(nullptr, 10), 0);  // data without a pointer: no header
        EXPECT_EQ(t.curPos, 0);
        EXPECT_EQ(t.blockID, 0);
    }
    ASSERT_EQ(readFile(img), five);

    ORVtape t;
    ASSERT_EQ(t.open(img.c_str(), true), 0);
    ASSERT_EQ(t.read(nullptr, 0), 0);
    EXPECT_EQ(t.write(five.data(), 10), -11);
    EXPECT_EQ(t.lastRC, -11);
    EXPECT_EQ(t.lastErrno, EBADF);
    EXPECT_EQ(t.curPos, 6);
    EXPECT_EQ(t.wtm(2), -11);
    EXPECT_EQ(t.blockID, 1);
    EXPECT_EQ(t.fileNumber, 1);
    EXPECT_EQ(t.eodPos, 30);
    EXPECT_EQ(readFile(img), five);
}

namespace {

struct Step {
    int rc, lastRC, lastErrno, blockID, fileNumber, curBlkLen;
    long long curPos, eodPos;
    bool tapemark;
    int imageLen;
    unsigned char image[200];
};

struct LimitRun {
    char path[256];
    Step step[4];
};

// Child: three writes cut short by the file size limit, then the retry.
void limitedWrites(void* arg) {
    auto* run = static_cast<LimitRun*>(arg);
    signal(SIGXFSZ, SIG_IGN);
    ORVtape t;
    if (t.open(run->path, false) != 0 || t.read(nullptr, 0) != 20) _exit(2);
    t.maxSegLen = 16;
    const Bytes d = pattern(40, 21);
    const rlim_t limits[4] = {26, 32, 59, RLIM_INFINITY};
    for (int i = 0; i < 4; ++i) {
        rlimit lim;
        getrlimit(RLIMIT_FSIZE, &lim);
        lim.rlim_cur = limits[i];
        setrlimit(RLIMIT_FSIZE, &lim);
        errno = 0;
        const int rc = t.write(d.data(), 40);
        const Bytes img = readFile(run->path);
        Step& s = run->step[i];
        s = {rc, t.lastRC, t.lastErrno, t.blockID, t.fileNumber, t.curBlkLen, t.curPos, t.eodPos,
             t.tapemark, static_cast<int>(img.size()), {}};
        std::memcpy(s.image, img.data(), std::min<std::size_t>(img.size(), sizeof s.image));
    }
}

}  // namespace

TEST(WriteFailure, FileSizeLimitThenRetry) {
    TempDir dir;
    const std::string img = dir.path("f.tape");
    const Bytes a = pattern(20, 4);
    {
        ORVtape t;
        ASSERT_EQ(t.open(img.c_str(), false), 0);
        ASSERT_EQ(t.write(a.data(), 20), 20);
    }
    auto* run = static_cast<LimitRun*>(
        mmap(nullptr, sizeof(LimitRun), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(run, MAP_FAILED);
    std::snprintf(run->path, sizeof run->path, "%s", img.c_str());
    ASSERT_EQ(inChild(limitedWrites, run), 0);

    Bytes expect = block(a, 20, 0, 0);
    const Bytes full = block(pattern(40, 21), 16, 20, 0);
    // Limit at the block start: the first header is refused.  At the first
    // payload: that write fails.  Inside the second payload: a short write.
    const int codes[3] = {-11, -12, -12};
    const std::size_t kept[3] = {0, 6, 22 + 6 + 5};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const Step& s = run->step[i];
        EXPECT_EQ(s.rc, codes[i]);
        EXPECT_EQ(s.lastRC, codes[i]);
        EXPECT_TRUE(i == 2 || s.lastErrno == EFBIG) << s.lastErrno;
        EXPECT_EQ(s.curPos, 26);
        EXPECT_EQ(s.eodPos, 26);
        EXPECT_EQ(s.blockID, 1);
        EXPECT_EQ(s.fileNumber, 0);
        EXPECT_FALSE(s.tapemark);
        EXPECT_EQ(s.curBlkLen, 20);
        Bytes partial = expect;
        partial.insert(partial.end(), full.begin(), full.begin() + kept[i]);
        EXPECT_EQ(Bytes(s.image, s.image + s.imageLen), partial);
    }
    // The retry replaces the debris and chains to the block before it.
    const Step& r = run->step[3];
    EXPECT_EQ(r.rc, 40);
    EXPECT_EQ(r.lastErrno, 0);
    EXPECT_EQ(r.blockID, 2);
    EXPECT_EQ(r.eodPos, 26 + 58);
    append(expect, full);
    EXPECT_EQ(Bytes(r.image, r.image + std::min(r.imageLen, 200)), expect);
    munmap(run, sizeof(LimitRun));
}

TEST(WriteFailure, FailedFlushIsReported) {
    // The null device takes every write but refuses to be flushed.
    ORVtape t;
    ASSERT_EQ(t.open("/dev/null", false), 0);
    const Bytes d = pattern(30);
    ASSERT_EQ(t.write(d.data(), 10), 10);
    const int blocks = t.blockID;
    t.sync = true;
    EXPECT_EQ(t.write(d.data(), 30), -1);
    EXPECT_EQ(t.lastRC, -1);
    EXPECT_EQ(t.lastErrno, EINVAL);
    EXPECT_EQ(t.blockID, blocks + 1);  // the block itself is complete
    EXPECT_EQ(t.curBlkLen, 10);        // fields of the block start, for a retry
    EXPECT_EQ(t.writeBlk(nullptr, 0), -1);
    EXPECT_EQ(t.lastRC, -1);
    EXPECT_EQ(t.lastErrno, EINVAL);
    EXPECT_EQ(t.wtm(2), -1);
    EXPECT_EQ(t.fileNumber, 2);
}
