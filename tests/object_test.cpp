// The tape object: mounting (new, empty, read-only, refused), the read-only
// fallback, positioning, rewind, erase, and what close and run reset.
#include "support.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {
const Bytes kTapemark = header(0, 0, 0x40, 0);
const Bytes kNewImage = kTapemark + kTapemark + kTapemark + kTapemark + kTapemark;
}  // namespace

TEST(Object, Mounting) {
    TempDir dir;
    ORVtape t;
    ASSERT_EQ(t.open(dir.path("new.tape").c_str(), false), 0);
    EXPECT_EQ(where(t), (Where{0, 0, 0, true}));  // rewinding keeps the tapemark flag
    EXPECT_TRUE(t.bot && !t.eot && !t.newImage && !t.wrtProt);
    EXPECT_EQ(t.eodPos, 30);
    EXPECT_EQ(readFile(dir.path("new.tape")), kNewImage);
    // One image at a time: a second open is refused and keeps the first.
    EXPECT_EQ(t.open(dir.path("other.tape").c_str(), false), -1);
    EXPECT_EQ(t.lastErrno, EBUSY);
    EXPECT_EQ(fileSize(dir.path("other.tape")), -1);
    t.close();

    writeFile(dir.path("empty.tape"), {});
    ASSERT_EQ(t.open(dir.path("empty.tape").c_str(), true), 0);  // read-only: stays empty
    EXPECT_TRUE(t.wrtProt && t.bot && t.eot);
    EXPECT_EQ(t.write("x", 1), -11);
    EXPECT_EQ(t.erase(), -1);
    t.close();
    EXPECT_EQ(fileSize(dir.path("empty.tape")), 0);
    ASSERT_EQ(t.open(dir.path("empty.tape").c_str(), false), 0);  // for writing: five tapemarks
    t.close();
    EXPECT_EQ(readFile(dir.path("empty.tape")), kNewImage);

    const struct { const char* path; int err; } refused[] = {
        {nullptr, EFAULT}, {"/nonexistent-dir/x.tape", ENOENT}, {"/", EISDIR}};
    for (const auto& r : refused) {
        t.lastRC = 5;
        EXPECT_EQ(t.open(r.path, r.path != nullptr), -1);
        EXPECT_EQ(t.lastRC, -1);
        EXPECT_EQ(t.lastErrno, r.err);
        EXPECT_LT(t.fd, 0);
    }
}

TEST(Object, ReadOnlyFallbackForAnUnprivilegedUser) {
    TempDir dir;
    const std::string readable = dir.path("r.tape"), unreadable = dir.path("u.tape");
    writeFile(readable, kNewImage);
    writeFile(unreadable, kNewImage);
    chmod(readable.c_str(), 0444);
    chmod(unreadable.c_str(), 0);
    const int status = inChild([&] {
        if (!dropPrivileges()) return 77;
        ORVtape t;
        if (t.open(readable.c_str(), false) != 0 || !t.wrtProt || t.lastRC || t.lastErrno) return 1;
        if (t.write("x", 1) != -11 || t.lastErrno != EBADF) return 2;
        t.close();
        if (t.open(unreadable.c_str(), false) != -1 || t.lastErrno != EACCES || t.wrtProt) return 3;
        return 0;
    });
    if (status == 77) GTEST_SKIP() << "cannot drop to user 65534";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(readable), kNewImage);
}

TEST(Object, PositioningRewindAndErase) {
    ORVtape none;
    EXPECT_TRUE(none.getPosition());
    EXPECT_TRUE(none.curPos == -1 && !none.bot && none.eot);
    none.lastRC = 7, none.lastErrno = 8;
    EXPECT_EQ(none.rew(), -1);
    EXPECT_TRUE(none.lastRC == 7 && none.lastErrno == 8);
    EXPECT_EQ(none.erase(), -1);
    EXPECT_TRUE(none.lastRC == -1 && none.lastErrno == EBADF);

    Mounted m(segment(100, 0, 0xA0) + segment(50, 100, 0xA0) + header(0, 50, 0x40, 0));
    ORVtape& t = m.t;
    ASSERT_TRUE(t.setPosition(12));
    EXPECT_FALSE(t.setPosition(-1));
    EXPECT_TRUE(t.lastRC == -1 && t.lastErrno == EOVERFLOW && t.curPos == 12 && where(t).pos == 12);
    EXPECT_TRUE(t.setPosition(1000));
    EXPECT_TRUE(t.eot && !t.bot && t.lastRC == 0);

    ASSERT_EQ(t.rew(), 0);
    ASSERT_EQ(t.fsr(3), 0);
    t.lastRC = 9;
    EXPECT_EQ(t.rew(), 0);
    EXPECT_EQ(t.lastRC, 0);
    EXPECT_EQ(where(t), (Where{0, 0, 0, true}));
    EXPECT_TRUE(t.bot && t.curBlkLen == 0 && t.prevBlkLen == 0 && t.hdrFlags1 == 0);
    ASSERT_EQ(t.fsr(1), 0);
    EXPECT_EQ(t.erase(), 0);
    EXPECT_EQ(t.eodPos, 106);
    EXPECT_EQ(fileSize(m.path), 106);
    t.getPosition();
    EXPECT_TRUE(t.eot);
}

TEST(Object, CloseAndRunResetEverything) {
    for (bool viaRun : {false, true}) {
        Mounted m(segment(100, 0, 0xA0) + segment(50, 100, 0xA0));
        ORVtape& t = m.t;
        ASSERT_EQ(t.fsr(2), 0);
        ASSERT_EQ(t.prevBlkLen, 100);
        t.compressOn = t.encryptOn = t.sync = t.newImage = true;
        t.maxTapeLen = 5, t.maxSegLen = 100;
        t.setMaxRecordSize(1000);
        EXPECT_EQ(t.maxRecordSize, 4194304);
        t.setMaxRecordSize(8388608);
        t.setMaxRecordSize(5000000);
        EXPECT_EQ(t.maxRecordSize, 8388608);
        ::close(t.fd);  // the descriptor vanishes behind the object's back
        EXPECT_EQ(viaRun ? t.run() : t.close(), viaRun ? 0 : -1);
        EXPECT_EQ(t.lastErrno, viaRun ? 0 : EBADF);
        EXPECT_EQ(t.lastRC, viaRun ? 0 : -1);
        EXPECT_TRUE(t.fd == -1 && t.blockID == 0 && t.curBlkLen == 0 && t.prevBlkLen == 0 && t.curPos == 0);
        EXPECT_FALSE(t.compressOn || t.encryptOn || t.sync || t.newImage || t.tapemark || t.bot);
        EXPECT_TRUE(t.maxTapeLen == ~0ULL && t.maxSegLen == 65535 && t.maxRecordSize == 4194304);
        EXPECT_EQ(t.close(), 0);
    }
}
