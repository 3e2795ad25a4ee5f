// Every system call of the engine that can fail, failed on purpose on a real
// image file: the state afterwards (position, counters, lastRC/lastErrno,
// the image bytes) and a retry that must leave exactly the image an
// undisturbed run would have left.
#include "ORVtape.h"
#include "interposer.h"
#include "support.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

using namespace testsupport;
using faults::Call;
using faults::Fault;

namespace {

Fault on(Call c, int fd, int skip = 0, int error = EIO, long partial = -1) {
    Fault f;
    f.call = c;
    f.fd = fd;
    f.skip = skip;
    f.error = error;
    f.partial = partial;
    return f;
}

long long offsetOf(ORVtape& t) {
    t.getPosition();
    return t.curPos;
}

int openDescriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (d && readdir(d)) ++n;
    if (d) closedir(d);
    return n;
}

class Faults : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.path("f.tape");
    Bytes a = pattern(300, 1), b = pattern(100, 2);
    ORVtape t;

    void TearDown() override { faults::disarm(); }

    // A 300-byte block and a tapemark; mounted, positioned after them.
    void mountTwo(int segLen = 65535) {
        {
            ORVtape w;
            ASSERT_EQ(w.open(path.c_str(), false), 0);
            ASSERT_EQ(w.write(a.data(), 300), 300);
            ASSERT_EQ(w.wtm(1), 0);
        }
        ASSERT_EQ(t.open(path.c_str(), false), 0);
        ASSERT_EQ(t.fsr(2), 0);
        t.maxSegLen = segLen;
    }

    // The image with block b written after the first two, never disturbed.
    Bytes cleanWithB(int segLen, bool sync) {
        const std::string other = dir.path("clean.tape");
        writeFile(other, readFile(path));
        ORVtape c;
        EXPECT_EQ(c.open(other.c_str(), false), 0);
        EXPECT_EQ(c.fsr(2), 0);
        c.maxSegLen = segLen;
        c.sync = sync;
        EXPECT_EQ(c.write(b.data(), 100), 100);
        c.close();
        return readFile(other);
    }

    // The image validates, and its blocks read back as a, a tapemark, b.
    void expectIntact() {
        EXPECT_EQ(t.validate(nullptr, nullptr, nullptr, nullptr) > 0, true);
        ASSERT_EQ(t.rew(), 0);
        Bytes buf(400);
        ASSERT_EQ(t.read(buf.data(), 400), 300);
        EXPECT_TRUE(std::equal(a.begin(), a.end(), buf.begin()));
        ASSERT_EQ(t.read(buf.data(), 400), 0);
        ASSERT_EQ(t.read(buf.data(), 400), 100);
        EXPECT_TRUE(std::equal(b.begin(), b.end(), buf.begin()));
        EXPECT_EQ(t.read(buf.data(), 400), -2);
    }
};

}  // namespace

TEST_F(Faults, BlockWriteFailuresLeaveARetryableImage) {
    struct Case {
        const char* what;
        int segLen;
        Fault fault;
        int rc;
        int err;       // expected lastErrno; -1: a short write carries no errno
        size_t tail;   // bytes of the clean write that reached the file anyway
    };
    const Case cases[] = {
        {"header refused", 65535, on(Call::Write, -1), -11, EIO, 0},
        {"header cut short", 65535, on(Call::Write, -1, 0, 0, 3), -11, -1, 3},
        {"payload on a full device", 65535, on(Call::Write, -1, 1, ENOSPC), -12, ENOSPC, 6},
        {"payload cut short", 65535, on(Call::Write, -1, 1, 0, 10), -12, -1, 16},
        {"third segment header", 16, on(Call::Write, -1, 4), -11, EIO, 44},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(path.c_str());
        t.close();
        mountTwo(c.segLen);
        const Bytes before = readFile(path);
        const Bytes clean = cleanWithB(c.segLen, false);
        const long long start = offsetOf(t);
        const long long eod = t.eodPos;
        Fault f = c.fault;
        f.fd = t.fd;
        faults::arm(f);
        EXPECT_EQ(t.write(b.data(), 100), c.rc);
        faults::disarm();
        EXPECT_EQ(faults::injected(), 1);
        EXPECT_EQ(t.lastRC, c.rc);
        if (c.err >= 0) {
            EXPECT_EQ(t.lastErrno, c.err);
        }
        EXPECT_EQ(t.curPos, start);
        EXPECT_EQ(offsetOf(t), start);
        EXPECT_EQ(t.blockID, 2);
        EXPECT_EQ(t.fileNumber, 1);
        EXPECT_TRUE(t.tapemark);
        EXPECT_EQ(t.eodPos, eod);
        EXPECT_EQ(readFile(path), Bytes(clean.begin(), clean.begin() + before.size() + c.tail));
        // The retry replaces the partial segments and chains to the tapemark.
        EXPECT_EQ(t.write(b.data(), 100), 100);
        EXPECT_EQ(readFile(path), clean);
        expectIntact();
    }
}

TEST_F(Faults, FailedFlushKeepsTheBlockAndStepsBack) {
    mountTwo();
    const Bytes clean = cleanWithB(65535, true);
    const long long start = offsetOf(t);
    t.sync = true;
    faults::arm(on(Call::Sync, t.fd));
    EXPECT_EQ(t.write(b.data(), 100), -1);
    faults::disarm();
    EXPECT_EQ(t.lastRC, -1);
    EXPECT_EQ(t.lastErrno, EIO);
    EXPECT_EQ(offsetOf(t), start);
    EXPECT_EQ(t.blockID, 3);  // the block is complete and counted
    EXPECT_EQ(t.eodPos, static_cast<long long>(clean.size()));
    EXPECT_EQ(readFile(path), clean);
    EXPECT_EQ(t.write(b.data(), 100), 100);  // rewrites it in place
    EXPECT_EQ(readFile(path), clean);
    expectIntact();
}

TEST_F(Faults, TapemarkRunStopsAtTheFailingOne) {
    mountTwo();
    faults::arm(on(Call::Write, t.fd, 1, ENOSPC));
    EXPECT_EQ(t.wtm(3), -11);
    faults::disarm();
    EXPECT_EQ(t.lastRC, -11);
    EXPECT_EQ(t.lastErrno, ENOSPC);
    EXPECT_EQ(t.blockID, 3);
    EXPECT_EQ(t.fileNumber, 2);
    EXPECT_EQ(fileSize(path), 300 + 6 * 3);
    EXPECT_EQ(t.validate(nullptr, nullptr, nullptr, nullptr), 3);
}

TEST_F(Faults, ReadFailuresRestoreTheBlockStart) {
    mountTwo();
    const Bytes big = pattern(70000, 3);  // two segments
    ASSERT_EQ(t.write(big.data(), 70000), 70000);
    struct Case {
        const char* what;
        Fault fault;
        int rc;
    };
    const Case cases[] = {
        {"first header", on(Call::Read, -1), -2},
        {"first payload", on(Call::Read, -1, 1), -12},
        {"payload cut short", on(Call::Read, -1, 1, 0, 10), -12},
        {"second header", on(Call::Read, -1, 2), -2},
        {"second payload", on(Call::Read, -1, 3, EINTR), -12},
    };
    Bytes buf(80000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(t.rew(), 0);
        ASSERT_EQ(t.fsr(2), 0);
        const long long start = offsetOf(t);
        Fault f = c.fault;
        f.fd = t.fd;
        faults::arm(f);
        EXPECT_EQ(t.read(buf.data(), 80000), c.rc);
        faults::disarm();
        EXPECT_EQ(t.lastRC, c.rc);
        if (c.fault.partial < 0) {
            EXPECT_EQ(t.lastErrno, c.fault.error);
        }
        EXPECT_EQ(offsetOf(t), start);
        EXPECT_EQ(t.blockID, 2);
        EXPECT_EQ(t.fileNumber, 1);
        EXPECT_TRUE(t.tapemark);
        EXPECT_EQ(t.curBlkLen, 0);  // still the tapemark's, for the next write
        ASSERT_EQ(t.read(buf.data(), 80000), 70000);
        EXPECT_TRUE(std::equal(big.begin(), big.end(), buf.begin()));
    }
    // Backward read whose forward pass fails: the tape stays before the block.
    // The step back reads four headers; the fifth read is the first payload.
    faults::arm(on(Call::Read, t.fd, 5));
    EXPECT_EQ(t.readBkwd(buf.data(), 80000), -12);
    faults::disarm();
    EXPECT_EQ(offsetOf(t), 300 + 6 + 6);
    EXPECT_EQ(t.blockID, 2);
    EXPECT_EQ(t.read(buf.data(), 80000), 70000);
}

TEST_F(Faults, SeekFailures) {
    mountTwo();
    // Rewind: reported, counters reset all the same.
    faults::arm(on(Call::Seek, t.fd));
    EXPECT_EQ(t.rew(), -1);
    EXPECT_EQ(t.lastRC, -1);
    EXPECT_EQ(t.lastErrno, EIO);
    EXPECT_EQ(t.blockID, 0);
    faults::disarm();
    EXPECT_EQ(t.rew(), 0);

    // The seek that passes an undelivered payload.
    Fault skip = on(Call::Seek, t.fd);
    skip.whence = SEEK_SET;
    faults::arm(skip);
    EXPECT_LT(t.fsr(1), 0);
    faults::disarm();
    EXPECT_EQ(offsetOf(t), 0);
    EXPECT_EQ(t.blockID, 0);
    EXPECT_EQ(t.fsr(2), 0);
    EXPECT_EQ(offsetOf(t), 312);

    // A position query that fails must not move or cut the image.  (An
    // engine that tracks the offset itself may not ask at all; then the
    // operation simply has to succeed.)
    const Bytes before = readFile(path);
    Fault query = on(Call::Seek, t.fd);
    query.whence = SEEK_CUR;
    for (int op = 0; op < 5; ++op) {
        SCOPED_TRACE(op);
        writeFile(path, before);
        t.close();
        ASSERT_EQ(t.open(path.c_str(), false), 0);
        ASSERT_EQ(t.fsr(op == 3 ? 1 : 2), 0);
        const long long at = offsetOf(t);
        query.fd = t.fd;
        faults::arm(query);
        const int r = op == 0   ? t.write(b.data(), 100)
                      : op == 1 ? t.readBkwd(nullptr, 0)
                      : op == 2 ? t.bsr(1)
                      : op == 3 ? t.fsr(1)
                                : t.getSerialLength();
        faults::disarm();
        if (faults::injected() == 0) {
            EXPECT_GE(r, 0);
            continue;
        }
        EXPECT_LT(r, 0);
        EXPECT_EQ(readFile(path), before);
        EXPECT_EQ(offsetOf(t), at);
        EXPECT_EQ(t.blockID, op == 3 ? 1 : 2);
    }
    t.close();
    writeFile(path, before);
    ASSERT_EQ(t.open(path.c_str(), false), 0);
    ASSERT_EQ(t.fsr(2), 0);

    // The step back to the previous header.
    Fault back = on(Call::Seek, t.fd);
    back.whence = SEEK_SET;
    faults::arm(back);
    EXPECT_EQ(t.bsr(1), -2);
    faults::disarm();
    EXPECT_EQ(offsetOf(t), 312);
    EXPECT_EQ(t.blockID, 2);

    // validate cannot find the end: the position is restored.
    Fault end = on(Call::Seek, t.fd);
    end.whence = SEEK_END;
    faults::arm(end);
    EXPECT_EQ(t.validate(nullptr, nullptr, nullptr, nullptr), -2);
    faults::disarm();
    EXPECT_EQ(t.lastRC, -2);
    EXPECT_EQ(offsetOf(t), 312);

    // open cannot find the end: refused, and its descriptor is not leaked.
    t.close();
    const int fds = openDescriptors();
    end.fd = -1;
    faults::arm(end);
    EXPECT_EQ(t.open(path.c_str(), false), -1);
    faults::disarm();
    EXPECT_EQ(t.lastErrno, EIO);
    EXPECT_LT(t.fd, 0);
    EXPECT_EQ(openDescriptors(), fds);
    ASSERT_EQ(t.open(path.c_str(), false), 0);
    ASSERT_EQ(t.fsr(2), 0);
    ASSERT_EQ(t.write(b.data(), 100), 100);
    expectIntact();
}

TEST_F(Faults, TruncationFailures) {
    mountTwo();
    ASSERT_EQ(t.write(b.data(), 100), 100);
    const Bytes full = readFile(path);
    ASSERT_EQ(t.bsr(1), 0);
    faults::arm(on(Call::Truncate, t.fd));
    EXPECT_EQ(t.erase(), -1);
    faults::disarm();
    EXPECT_EQ(t.lastRC, -1);
    EXPECT_EQ(t.lastErrno, EIO);
    EXPECT_EQ(t.eodPos, static_cast<long long>(full.size()));
    EXPECT_EQ(readFile(path), full);
    EXPECT_EQ(t.erase(), 0);
    EXPECT_EQ(fileSize(path), 312);

    // A write whose truncation fails is not reported; the old tail stays
    // until the next erase cuts it off.
    ASSERT_EQ(t.write(b.data(), 100), 100);
    ASSERT_EQ(t.bsr(2), 0);
    faults::arm(on(Call::Truncate, t.fd));
    EXPECT_EQ(t.wtm(1), 0);
    faults::disarm();
    EXPECT_EQ(t.eodPos, 312);
    EXPECT_EQ(fileSize(path), static_cast<long long>(full.size()));
    EXPECT_EQ(t.erase(), 0);
    ASSERT_EQ(t.write(b.data(), 100), 100);
    EXPECT_EQ(readFile(path), full);
    expectIntact();
}

TEST_F(Faults, NewImageOnAFullDeviceIsLeftEmpty) {
    faults::arm(on(Call::Write, -1, 0, ENOSPC, 3));
    EXPECT_EQ(t.open(path.c_str(), false), 0);
    faults::disarm();
    EXPECT_TRUE(t.newImage);
    EXPECT_EQ(fileSize(path), 3);
    EXPECT_EQ(t.close(), 0);
    EXPECT_EQ(fileSize(path), 0);
}
