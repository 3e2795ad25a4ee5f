// The engine keeps its own record of the descriptor's offset instead of
// asking the kernel at the start of each operation.  These tests compare that
// record with the kernel's after every kind of call, success and failure, and
// check the calls that deliberately leave the descriptor elsewhere.
#include "ORVtape.h"
#include "support.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace testsupport;

namespace {

// curPos, bot and eot as a kernel position query would set them (a completed
// write decides eot by the tape capacity instead).
void expectTracked(const ORVtape& t, const char* step, bool afterWrite = false) {
    SCOPED_TRACE(step);
    const long long real = lseek64(t.fd, 0, SEEK_CUR);
    EXPECT_EQ(t.curPos, real);
    EXPECT_EQ(t.bot, real == 0);
    if (!afterWrite) {
        EXPECT_EQ(t.eot, static_cast<unsigned long long>(real) >= static_cast<unsigned long long>(t.eodPos));
    }
}

}  // namespace

TEST(PositionTracking, RecordedOffsetMatchesTheDescriptorAfterEveryCall) {
    TempDir dir;
    const std::string img = dir.path("t.tape");
    ORVtape t;
    ASSERT_EQ(t.open(img.c_str(), false), 0);
    const Bytes data = pattern(3000, 7);
    t.maxSegLen = 100;
    ASSERT_EQ(t.write(data.data(), 1000), 1000);
    t.compressOn = true;
    ASSERT_GT(t.write(data.data(), 3000), 0);
    t.encryptOn = true;
    ASSERT_GT(t.write(data.data(), 50), 0);
    ASSERT_EQ(t.wtm(2), 0);
    expectTracked(t, "writes", true);
    EXPECT_EQ(t.write(data.data(), 5000000), -13);
    expectTracked(t, "refused write", true);

    unsigned char buf[4000];
    t.rew();
    EXPECT_EQ(t.read(buf, 10), 1000);
    expectTracked(t, "short-buffer read");
    EXPECT_EQ(t.fsr(2), 0);
    expectTracked(t, "fsr");
    EXPECT_EQ(t.read(buf, sizeof buf), 0);
    EXPECT_EQ(t.fsf(1), 0);
    EXPECT_EQ(t.read(buf, sizeof buf), -2);
    expectTracked(t, "read at the end");
    EXPECT_EQ(t.fsr(1), -2);
    expectTracked(t, "fsr at the end");
    EXPECT_EQ(t.readBkwd(buf, sizeof buf), 0);
    EXPECT_EQ(t.bsr(1), 0);
    EXPECT_EQ(t.readBkwd(buf, sizeof buf), 50);
    expectTracked(t, "readBkwd");
    EXPECT_EQ(t.locate(1), 2);
    expectTracked(t, "locate");
    EXPECT_EQ(t.validate(nullptr, nullptr, nullptr, nullptr), 10 + 30 + 1 + 2);  // random data does not compress
    expectTracked(t, "validate");
    t.blockID = 0;  // a step back is refused with the block count at 0
    EXPECT_EQ(t.bsr(1), -14);
    expectTracked(t, "refused step back");
    t.rew();
    EXPECT_EQ(t.bsr(1), -4);
    expectTracked(t, "step back at the load point");

    // A continuation header that claims to begin a block: the read fails
    // after delivering part of the block and must return to its start.
    t.close();
    Bytes bytes = readFile(img);
    bytes[106 + 4] = 0x80;
    writeFile(img, bytes);
    ASSERT_EQ(t.open(img.c_str(), true), 0);
    EXPECT_EQ(t.read(buf, sizeof buf), -10);
    expectTracked(t, "damaged block");
    EXPECT_EQ(t.write(data.data(), 10), -11);
    expectTracked(t, "write refused on a read-only image");
    EXPECT_EQ(t.fsr(1), -10);
    EXPECT_EQ(t.curPos, 0);
}

TEST(PositionTracking, CallsThatLeaveTheDescriptorPastTheHeaderAreFollowed) {
    TempDir dir;
    const std::string img = dir.path("t.tape");
    ORVtape t;
    ASSERT_EQ(t.open(img.c_str(), false), 0);  // five tapemarks
    unsigned char h[6];

    // readHdr leaves the descriptor after the first tapemark: the next read
    // meets the second one.
    ASSERT_EQ(t.readHdr(h), 0);
    EXPECT_EQ(t.curPos, 0);
    EXPECT_EQ(t.read(nullptr, 0), 0);
    EXPECT_EQ(t.curPos, 12);
    expectTracked(t, "read after readHdr");

    // Likewise writeHdr: the block goes after the header it wrote.
    t.rew();
    const Bytes tm = header(0, 0, HF1_TM, 0);
    std::copy(tm.begin(), tm.end(), h);
    ASSERT_EQ(t.writeHdr(h), 0);
    const Bytes data = pattern(10, 3);
    ASSERT_EQ(t.write(data.data(), 10), 10);
    expectTracked(t, "write after writeHdr", true);
    Bytes want = tm;
    append(want, header(10, 0, HF1_BOR | HF1_EOR, 0));
    append(want, data);
    EXPECT_EQ(readFile(img), want);

    // validate stopped by a broken chain stands just after the bad header.
    t.close();
    Bytes chain = header(0, 0, HF1_TM, 0);
    append(chain, header(0, 5, HF1_TM, 0));
    append(chain, header(0, 0, HF1_TM, 0));
    writeFile(img, chain);
    ASSERT_EQ(t.open(img.c_str(), false), 0);
    ASSERT_EQ(t.validate(nullptr, nullptr, nullptr, nullptr), -18);
    EXPECT_EQ(t.read(nullptr, 0), 0);  // the third tapemark
    EXPECT_EQ(t.curPos, 18);
    expectTracked(t, "read after a failed validate");
}

TEST(Scramble, MatchesThePositionalStreamAtEveryLengthAndAlignment) {
    ORVtape t;
    const Bytes plain = pattern(700, 11);
    for (std::size_t offset : {0, 1, 7}) {
        for (int len : {0, 1, 15, 16, 17, 255, 256, 257, 300, 689}) {
            SCOPED_TRACE("offset " + std::to_string(offset) + ", length " + std::to_string(len));
            Bytes src(plain.begin() + static_cast<long>(offset), plain.begin() + static_cast<long>(offset) + len);
            ASSERT_EQ(t.encrypt(const_cast<char*>(reinterpret_cast<const char*>(plain.data() + offset)), len), len);
            const auto* area = reinterpret_cast<const unsigned char*>(t.encBfr.aligned);
            EXPECT_EQ(Bytes(area, area + len), scrambled(src));
            // And back: a destination smaller than the data, misaligned.
            t.encBfr.dataLen = static_cast<unsigned>(len);
            Bytes back(len + 8, 0);
            const int part = len > 3 ? len - 3 : len;
            EXPECT_EQ(t.decrypt(reinterpret_cast<char*>(back.data() + 1), part), len);
            EXPECT_EQ(Bytes(back.begin() + 1, back.begin() + 1 + part), Bytes(src.begin(), src.begin() + part));
            EXPECT_EQ(back[static_cast<std::size_t>(part) + 1], 0);
        }
    }
}
