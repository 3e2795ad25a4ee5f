// Offsets beyond 2 GiB and 4 GiB: a sparse image of about 4.3 GiB whose
// headers are written by hand, with real payload only in its last block.
// The library validates, reads, steps back, locates and writes across both.
#include "support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace testsupport;

TEST(HugeImage, EveryOperationAcross2And4GiB) {
    constexpr int kBlocks = 1025, kSegs = 64;  // 64 full segments stay below 4 MiB
    constexpr long long kBlock = kSegs * (6 + 65535LL), kEnd = kBlocks * kBlock + 6;
    const Bytes last = pattern(kSegs * 65535, 7);
    TempDir dir;
    const std::string path = dir.path("huge.tape");
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    for (long long b = 0, pos = 0; b < kBlocks; ++b)
        for (int s = 0; s < kSegs; ++s, pos += 6 + 65535) {
            const Bytes h = header(65535, pos ? 65535 : 0, (s == 0 ? 0x80 : 0) | (s == kSegs - 1 ? 0x20 : 0), 0);
            ASSERT_EQ(pwrite(fd, h.data(), 6, pos), 6);
            if (b == kBlocks - 1) { ASSERT_EQ(pwrite(fd, &last[s * 65535], 65535, pos + 6), 65535); }
        }
    ASSERT_TRUE(pwrite(fd, header(0, 65535, 0x40, 0).data(), 6, kEnd - 6) == 6 && ::close(fd) == 0);
    ORVtape t;
    ASSERT_EQ(t.open(path.c_str(), false), 0);
    long long lastHdr = 0;
    EXPECT_EQ(t.validate(&lastHdr, nullptr, nullptr, nullptr), kBlocks * kSegs + 1);
    EXPECT_TRUE(lastHdr == kEnd - 6 && t.eodPos == kEnd && t.fsf(1) == 0 && t.eot);
    EXPECT_EQ(where(t), (Where{kEnd, kBlocks + 1, 1, true}));
    unsigned char tail[100];
    EXPECT_TRUE(t.readBkwd(tail, 100) == 0 && t.readBkwd(tail, 100) == static_cast<int>(last.size()));
    EXPECT_TRUE(std::equal(last.end() - 100, last.end(), tail));
    EXPECT_EQ(where(t), (Where{kEnd - 6 - kBlock, kBlocks - 1, 0, false}));
    EXPECT_TRUE(t.locate(2) == kBlocks - 1 && where(t).pos == 2 * kBlock && t.locate(kBlocks - 1) == 2);
    Bytes buf(last.size());
    EXPECT_TRUE(t.read(buf.data(), static_cast<unsigned>(buf.size())) == static_cast<int>(last.size()) && buf == last);
    // A block written beyond 4 GiB chains to the tapemark and reads back.
    ASSERT_TRUE(t.fsr(1) == 0 && t.write(last.data(), 300) == 300 && t.eodPos == kEnd + 306 && t.bsr(1) == 0);
    EXPECT_TRUE(t.read(buf.data(), 300) == 300 && std::equal(last.begin(), last.begin() + 300, buf.begin()));
    EXPECT_EQ(t.validate(nullptr, nullptr, nullptr, nullptr), kBlocks * kSegs + 2);
}
