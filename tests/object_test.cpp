// The tape object: mounting (new, empty, read-only, refused), the read-only
// fallback, positioning, rewind, erase, and what close and run reset.
#include "support.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {
const Bytes kTM = header(0, 0, 0x40, 0), kNewImage = kTM + kTM + kTM + kTM + kTM;
}

TEST(Object, Mounting) {
    TempDir dir;
    ORVtape t;
    ASSERT_EQ(t.open(dir.path("new.tape").c_str(), false), 0);
    EXPECT_EQ(where(t), (Where{0, 0, 0, true}));  // rewinding keeps the tapemark flag
    EXPECT_TRUE(t.bot && !t.eot && !t.newImage && !t.wrtProt && t.eodPos == 30);
    EXPECT_EQ(readFile(dir.path("new.tape")), kNewImage);
    EXPECT_EQ(t.open(dir.path("other.tape").c_str(), false), -1);  // one image at a time
    EXPECT_TRUE(t.lastErrno == EBUSY && fileSize(dir.path("other.tape")) == -1 && t.close() == 0);
    writeFile(dir.path("empty.tape"), {});
    ASSERT_EQ(t.open(dir.path("empty.tape").c_str(), true), 0);  // read-only: stays empty
    EXPECT_TRUE(t.wrtProt && t.bot && t.eot && t.write("x", 1) == -11 && t.erase() == -1 && t.close() == 0);
    EXPECT_EQ(fileSize(dir.path("empty.tape")), 0);
    ASSERT_EQ(t.open(dir.path("empty.tape").c_str(), false), 0);  // for writing: five tapemarks
    t.close();
    EXPECT_EQ(readFile(dir.path("empty.tape")), kNewImage);
    const struct { const char* path; int err; } refused[] = {
        {nullptr, EFAULT}, {"/nonexistent-dir/x.tape", ENOENT}, {"/", EISDIR}};
    for (const auto& r : refused) {
        t.lastRC = 5;
        EXPECT_EQ(t.open(r.path, r.path != nullptr), -1);
        EXPECT_TRUE(t.lastRC == -1 && t.lastErrno == r.err && t.fd < 0) << r.err;
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
        ORVtape t;
        if (!dropPrivileges()) return 77;
        if (t.open(readable.c_str(), false) != 0 || !t.wrtProt || t.lastRC || t.lastErrno) return 1;
        if (t.write("x", 1) != -11 || t.lastErrno != EBADF || t.close() != 0) return 2;
        return t.open(unreadable.c_str(), false) != -1 || t.lastErrno != EACCES || t.wrtProt ? 3 : 0;
    });
    if (status == 77) GTEST_SKIP() << "cannot drop to user 65534";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(readable), kNewImage);
}

TEST(Object, PositioningRewindAndErase) {
    ORVtape none;
    EXPECT_TRUE(none.getPosition() && none.curPos == -1 && !none.bot && none.eot);
    none.lastRC = 7, none.lastErrno = 8;
    EXPECT_TRUE(none.rew() == -1 && none.lastRC == 7 && none.lastErrno == 8);
    EXPECT_TRUE(none.erase() == -1 && none.lastRC == -1 && none.lastErrno == EBADF);
    EXPECT_TRUE(none.close() == 0 && none.lastRC == 0 && none.lastErrno == 0);

    Mounted m(segment(100, 0, 0xA0) + segment(50, 100, 0xA0) + header(0, 50, 0x40, 0));
    ORVtape& t = m.t;
    ASSERT_TRUE(t.setPosition(12));
    EXPECT_FALSE(t.setPosition(-1));
    EXPECT_TRUE(t.lastRC == -1 && t.lastErrno == EOVERFLOW && t.curPos == 12 && where(t).pos == 12);
    EXPECT_TRUE(t.setPosition(1000) && t.eot && !t.bot && t.lastRC == 0);
    ASSERT_TRUE(t.rew() == 0 && t.fsr(3) == 0);
    t.lastRC = 9;
    EXPECT_TRUE(t.rew() == 0 && t.lastRC == 0 && t.bot && t.curBlkLen == 0 && t.prevBlkLen == 0 && t.hdrFlags1 == 0);
    EXPECT_EQ(where(t), (Where{0, 0, 0, true}));
    ASSERT_EQ(t.fsr(1), 0);
    EXPECT_TRUE(t.erase() == 0 && t.eodPos == 106 && fileSize(m.path) == 106);
    EXPECT_TRUE(t.getPosition() && t.eot);
}

TEST(Object, CloseAndRunResetEverything) {
    for (bool viaRun : {false, true}) {
        Mounted m(segment(100, 0, 0xA0) + segment(50, 100, 0xA0));
        ORVtape& t = m.t;
        ASSERT_TRUE(t.fsr(2) == 0 && t.prevBlkLen == 100);
        t.compressOn = t.encryptOn = t.sync = t.newImage = t.tapemark = true;
        t.maxTapeLen = 5, t.maxSegLen = 100;
        t.setMaxRecordSize(1000);
        EXPECT_EQ(t.maxRecordSize, 4194304);
        t.setMaxRecordSize(8388608);
        t.setMaxRecordSize(5000000);
        EXPECT_EQ(t.maxRecordSize, 8388608);
        ::close(t.fd);  // the descriptor vanishes behind the object's back
        EXPECT_EQ(viaRun ? t.run() : t.close(), viaRun ? 0 : -1);
        EXPECT_TRUE(t.lastErrno == (viaRun ? 0 : EBADF) && t.lastRC == (viaRun ? 0 : -1));
        EXPECT_TRUE(t.fd == -1 && t.blockID == 0 && t.curBlkLen == 0 && t.prevBlkLen == 0 && t.curPos == 0);
        EXPECT_FALSE(t.compressOn || t.encryptOn || t.sync || t.newImage || t.tapemark || t.bot);
        EXPECT_TRUE(t.maxTapeLen == ~0ULL && t.maxSegLen == 65535 && t.maxRecordSize == 4194304 && t.close() == 0);
    }
}
