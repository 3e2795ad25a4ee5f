// A writer killed with SIGKILL at random moments: every block whose write
// had returned before the kill is intact, and reading forwards up to the
// first defect gets every one of them back.
#include "ORVtape.h"
#include "support.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>

using namespace testsupport;

namespace {

// Block k of every run: its length, settings and contents follow from k, so
// the checker can rebuild what the writer wrote.
struct Plan {
    unsigned length;
    bool compress, scramble, tapemark;
    int segLen;
};

Plan plan(unsigned k) {
    std::mt19937 g(k * 7919u + 1);
    Plan p;
    p.tapemark = g() % 9 == 0;
    p.length = p.tapemark ? 0 : 1 + g() % 150000;
    p.compress = g() % 3 == 0;
    p.scramble = g() % 4 == 0;
    p.segLen = g() % 2 ? 65535 : 16 + static_cast<int>(g() % 5000);
    return p;
}

Bytes contents(unsigned k) {
    Bytes d = pattern(plan(k).length, k + 1);
    // Half the blocks compress well.
    if (k % 2 == 0)
        for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<unsigned char>((i / 64) % 7);
    return d;
}

[[noreturn]] void writer(const std::string& path, int report) {
    ORVtape t;
    // The new image's five tapemarks go before the first kill can land.
    if (t.open(path.c_str(), false) != 0 || t.erase() != 0) _exit(2);
    const unsigned ready = ~0u;
    if (::write(report, &ready, sizeof ready) != sizeof ready) _exit(4);
    for (unsigned k = 0;; ++k) {
        const Plan p = plan(k);
        const Bytes d = contents(k);
        t.compressOn = p.compress;
        t.encryptOn = p.scramble;
        t.maxSegLen = p.segLen;
        if (t.write(p.tapemark ? nullptr : d.data(), p.length) != static_cast<int>(p.length)) _exit(3);
        if (::write(report, &k, sizeof k) != sizeof k) _exit(4);
    }
}

}  // namespace

TEST(CrashSafety, BlocksWrittenBeforeAKillSurviveIt) {
    TempDir dir;
    const std::string path = dir.path("crash.tape");
    std::mt19937 rng(20261205);
    Bytes buf(200000);
    unsigned checked = 0;
    for (int round = 0; round < 25; ++round) {
        SCOPED_TRACE(round);
        std::remove(path.c_str());
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            writer(path, fds[1]);
        }
        ::close(fds[1]);
        // Wait for a random number of completed blocks, then a random moment
        // inside one of the next writes.
        const unsigned wanted = rng() % 12;
        int done = -1;
        unsigned k = 0;
        ASSERT_EQ(::read(fds[0], &k, sizeof k), static_cast<ssize_t>(sizeof k));
        ASSERT_EQ(k, ~0u);
        while (done + 1 < static_cast<int>(wanted) && ::read(fds[0], &k, sizeof k) == sizeof k) done = static_cast<int>(k);
        usleep(rng() % 3000);
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "writer stopped by itself: " << status;
        while (::read(fds[0], &k, sizeof k) == sizeof k) done = static_cast<int>(k);  // reports in flight
        ::close(fds[0]);

        ORVtape t;
        ASSERT_EQ(t.open(path.c_str(), true), 0);
        int r = 0;
        unsigned got = 0;
        for (;; ++got) {
            r = t.read(buf.data(), static_cast<unsigned>(buf.size()));
            if (r < 0) break;
            const Bytes want = contents(got);
            ASSERT_EQ(r, static_cast<int>(want.size())) << "block " << got;
            ASSERT_TRUE(std::equal(want.begin(), want.end(), buf.begin())) << "block " << got;
        }
        // Every reported block came back; at most one more (complete but
        // not yet reported) may follow, and then only a defect or the end.
        EXPECT_GE(static_cast<int>(got), done + 1);
        EXPECT_LE(static_cast<int>(got), done + 2);
        EXPECT_TRUE(r == -2 || r == -10 || r == -12) << r;
        checked += got;
    }
    EXPECT_GT(checked, 25u);
}
