// The tape object: defaults, mounting, the read-only fallback, rewind, erase,
// positioning and close.
#include "ORVtape.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

using namespace testsupport;

namespace {

Bytes fiveTapemarks() {
    Bytes b;
    for (int i = 0; i < 5; ++i) append(b, header(0, 0, 0x40, 0));
    return b;
}

// Drops to an unprivileged user so that permission bits really refuse.
bool dropPrivileges() { return setgid(65534) == 0 && setuid(65534) == 0 && geteuid() == 65534; }

}  // namespace

TEST(Object, DefaultsAfterConstruction) {
    ORVtape t;
    EXPECT_EQ(t.fd, -1);
    EXPECT_EQ(t.maxTapeLen, ~0ULL);
    EXPECT_EQ(t.maxRecordSize, 4194304);
    EXPECT_EQ(t.maxSegLen, 65535);
    EXPECT_EQ(t.cmpLevel, 9);
    EXPECT_EQ(t.bkwdBfr.raw, nullptr);
    EXPECT_FALSE(t.bot || t.eot || t.compressOn || t.encryptOn || t.sync || t.tapemark || t.wrtProt);
    // With no image the position query stores -1 and reports past the end.
    EXPECT_TRUE(t.getPosition());
    EXPECT_EQ(t.curPos, -1);
    EXPECT_FALSE(t.bot);
    EXPECT_TRUE(t.eot);
}

TEST(Object, NewAndEmptyImages) {
    TempDir dir;
    ORVtape t;
    ASSERT_EQ(t.open(dir.path("new.tape").c_str(), false), 0);
    EXPECT_EQ(t.lastRC, 0);
    EXPECT_EQ(t.blockID, 0);
    EXPECT_EQ(t.fileNumber, 0);
    EXPECT_TRUE(t.bot);
    EXPECT_FALSE(t.eot);
    EXPECT_TRUE(t.tapemark);  // rewinding does not clear it
    EXPECT_FALSE(t.newImage);
    EXPECT_EQ(t.eodPos, 30);
    EXPECT_EQ(t.close(), 0);
    EXPECT_EQ(readFile(dir.path("new.tape")), fiveTapemarks());

    // An existing empty file opened for writing is given the tapemarks too.
    writeFile(dir.path("empty.tape"), {});
    ASSERT_EQ(t.open(dir.path("empty.tape").c_str(), false), 0);
    t.close();
    EXPECT_EQ(readFile(dir.path("empty.tape")), fiveTapemarks());

    // Opened read-only, an empty file stays empty, at once at both ends.
    writeFile(dir.path("ro.tape"), {});
    ASSERT_EQ(t.open(dir.path("ro.tape").c_str(), true), 0);
    EXPECT_TRUE(t.wrtProt);
    EXPECT_TRUE(t.bot);
    EXPECT_TRUE(t.eot);
    t.close();
    EXPECT_EQ(fileSize(dir.path("ro.tape")), 0);
}

TEST(Object, OpenFailures) {
    TempDir dir;
    ORVtape t;
    EXPECT_EQ(t.open(dir.path("missing.tape").c_str(), true), -1);
    EXPECT_EQ(t.lastRC, -1);
    EXPECT_EQ(t.lastErrno, ENOENT);
    EXPECT_EQ(t.fd, -1);

    // A directory is no tape, whichever mode is asked for.
    EXPECT_EQ(t.open(dir.path("").c_str(), true), -1);
    EXPECT_EQ(t.lastErrno, EISDIR);
    EXPECT_EQ(t.fd, -1);
    t.close();

    // A second open while mounted is refused and keeps the first image.
    ASSERT_EQ(t.open(dir.path("a.tape").c_str(), false), 0);
    const int fd = t.fd;
    EXPECT_EQ(t.open(dir.path("b.tape").c_str(), false), -1);
    EXPECT_EQ(t.lastErrno, EBUSY);
    EXPECT_EQ(t.fd, fd);
    EXPECT_EQ(fileSize(dir.path("b.tape")), -1);
}

namespace {
struct FallbackArgs {
    std::string readable, unreadable, missing;
};

void fallbackChild(void* p) {
    auto* a = static_cast<FallbackArgs*>(p);
    if (!dropPrivileges()) _exit(77);
    ORVtape t;
    // Writing refused by permissions: mounted read-only, reported as success.
    if (t.open(a->readable.c_str(), false) != 0) _exit(1);
    if (!t.wrtProt || t.lastRC != 0 || t.lastErrno != 0) _exit(2);
    if (t.write("x", 1) != -11 || t.lastErrno != EBADF) _exit(3);
    if (t.erase() != -1 || t.lastErrno == 0) _exit(6);
    t.close();
    // Creating in a directory we may not write: the read-only retry finds nothing.
    if (t.open(a->missing.c_str(), false) != -1 || t.lastErrno != ENOENT) _exit(7);
    // Reading refused too: nothing is mounted, errno of the last attempt.
    if (t.open(a->unreadable.c_str(), false) != -1) _exit(4);
    if (t.lastRC != -1 || t.lastErrno != EACCES || t.fd != -1 || t.wrtProt) _exit(5);
    _exit(0);
}
}  // namespace

TEST(Object, ReadOnlyFallbackForUnprivilegedUser) {
    TempDir dir;
    chmod(dir.path("").c_str(), 0755);
    FallbackArgs args{dir.path("readable.tape"), dir.path("unreadable.tape"), dir.path("missing.tape")};
    writeFile(args.readable, fiveTapemarks());
    writeFile(args.unreadable, fiveTapemarks());
    chmod(args.readable.c_str(), 0444);
    chmod(args.unreadable.c_str(), 0000);
    const int status = inChild(fallbackChild, &args);
    if (status == 77) GTEST_SKIP() << "cannot drop to user 65534 here";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(args.readable), fiveTapemarks());
}

TEST(Object, FirstTapemarkRefusedLeavesImageNew) {
    // /dev/full refuses every write with ENOSPC, like a full device.
    ORVtape t;
    ASSERT_EQ(t.open("/dev/full", false), 0);
    EXPECT_TRUE(t.newImage);
    EXPECT_EQ(t.blockID, 0);
    EXPECT_EQ(t.lastRC, 0);
    EXPECT_EQ(t.close(), 0);
}

namespace {
void sizeLimitedChild(void* p) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim{0, 0};
    setrlimit(RLIMIT_FSIZE, &lim);
    ORVtape t;
    if (t.open(static_cast<const char*>(p), false) != 0) _exit(1);
    if (!t.newImage || t.eodPos != 0 || t.tapemark) _exit(2);
    t.close();
    _exit(0);
}
}  // namespace

TEST(Object, NewImageThatReceivedNothingIsLeftEmpty) {
    TempDir dir;
    const std::string path = dir.path("limited.tape");
    EXPECT_EQ(inChild(sizeLimitedChild, const_cast<char*>(path.c_str())), 0);
    EXPECT_EQ(fileSize(path), 0);
}

TEST(Object, Positioning) {
    TempDir dir;
    ORVtape t;
    ASSERT_EQ(t.open(dir.path("p.tape").c_str(), false), 0);
    ASSERT_TRUE(t.setPosition(12));
    EXPECT_FALSE(t.setPosition(-1));
    EXPECT_EQ(t.lastRC, -1);
    EXPECT_EQ(t.lastErrno, EOVERFLOW);
    EXPECT_EQ(t.curPos, 12);
    EXPECT_EQ(lseek64(t.fd, 0, SEEK_CUR), 12);
    EXPECT_TRUE(t.setPosition(1000));  // beyond the end is accepted
    EXPECT_TRUE(t.eot);
    EXPECT_FALSE(t.bot);
    EXPECT_EQ(t.lastRC, 0);
    EXPECT_TRUE(t.setPosition(0));
    EXPECT_TRUE(t.bot);
    EXPECT_FALSE(t.eot);
}

TEST(Object, RewindAndEraseAndClose) {
    TempDir dir;
    ORVtape t;
    EXPECT_EQ(t.rew(), -1);
    t.lastRC = 7;
    t.lastErrno = 8;
    EXPECT_EQ(t.rew(), -1);
    EXPECT_EQ(t.lastRC, 7);  // untouched with no image
    EXPECT_EQ(t.lastErrno, 8);
    EXPECT_EQ(t.erase(), -1);
    EXPECT_EQ(t.lastErrno, EBADF);
    EXPECT_EQ(t.close(), 0);
    EXPECT_EQ(t.lastRC, 0);

    const std::string path = dir.path("e.tape");
    ASSERT_EQ(t.open(path.c_str(), false), 0);
    const Bytes block = pattern(100);
    ASSERT_EQ(t.write(block.data(), 100), 100);
    ASSERT_EQ(t.write(block.data(), 50), 50);
    ASSERT_EQ(t.wtm(2), 0);
    ASSERT_EQ(t.rew(), 0);
    EXPECT_EQ(t.blockID, 0);
    EXPECT_EQ(t.fileNumber, 0);
    EXPECT_EQ(t.curBlkLen, 0);
    EXPECT_TRUE(t.tapemark);  // kept by rewind
    char buf[100];
    ASSERT_EQ(t.read(buf, sizeof buf), 100);
    ASSERT_EQ(t.read(buf, sizeof buf), 50);
    ASSERT_EQ(t.erase(), 0);
    EXPECT_EQ(t.eodPos, 162);
    EXPECT_EQ(fileSize(path), 162);
    t.getPosition();
    EXPECT_TRUE(t.eot);

    // close resets every setting.
    t.compressOn = t.encryptOn = t.sync = true;
    t.maxTapeLen = 5;
    t.maxSegLen = 100;
    t.setMaxRecordSize(8388608);
    EXPECT_EQ(t.close(), 0);
    EXPECT_FALSE(t.compressOn || t.encryptOn || t.sync);
    EXPECT_EQ(t.maxTapeLen, ~0ULL);
    EXPECT_EQ(t.maxSegLen, 65535);
    EXPECT_EQ(t.maxRecordSize, 4194304);
}

TEST(Object, CloseFailureAndRun) {
    TempDir dir;
    ORVtape t;
    ASSERT_EQ(t.open(dir.path("c.tape").c_str(), false), 0);
    ::close(t.fd);  // the descriptor vanishes behind the object's back
    EXPECT_EQ(t.close(), -1);
    EXPECT_EQ(t.lastErrno, EBADF);
    EXPECT_EQ(t.fd, -1);

    ASSERT_EQ(t.open(dir.path("c.tape").c_str(), false), 0);
    ::close(t.fd);
    EXPECT_EQ(t.run(), 0);
    EXPECT_EQ(t.lastRC, 0);
    EXPECT_EQ(t.lastErrno, 0);
    EXPECT_EQ(t.fd, -1);
}

TEST(Object, MaxRecordSizeOnlyRises) {
    ORVtape t;
    t.setMaxRecordSize(1000);
    EXPECT_EQ(t.maxRecordSize, 4194304);
    t.setMaxRecordSize(8388608);
    EXPECT_EQ(t.maxRecordSize, 8388608);
    t.setMaxRecordSize(5000000);
    EXPECT_EQ(t.maxRecordSize, 8388608);
    t.setMaxRecordSize(-5);
    EXPECT_EQ(t.maxRecordSize, 8388608);
    t.close();
    EXPECT_EQ(t.maxRecordSize, 4194304);
}
