// Offsets beyond 2 GiB and 4 GiB: a sparse image of about 4.3 GiB whose
// headers are written by hand at their computed offsets, one of them
// straddling each boundary, with real payload only in the blocks that hold
// those two headers.  The library reads, steps back, locates, validates and
// writes across both boundaries.
#include "ORVtape.h"
#include "support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

using namespace testsupport;

namespace {

constexpr long long kGiB = 1LL << 30;
constexpr int kSegsPerBlock = 64;  // 64 full segments stay below 4 MiB

struct Layout {
    std::vector<long long> blockStart;  // and one entry for the end of the data
    std::vector<long long> blockLen;    // 0 for a tapemark
    std::vector<std::vector<std::pair<long long, unsigned>>> segs;  // payload offset, length
    unsigned headers = 0;
    int straddling[2] = {-1, -1};  // blocks holding the header across 2 GiB and 4 GiB
};

// Headers of plain blocks of 64 segments, lengths adjusted so that one
// header begins 3 bytes before each boundary; a tapemark at the end.
Layout build(int fd) {
    Layout l;
    const long long targets[2] = {2 * kGiB - 3, 4 * kGiB - 3};
    long long pos = 0;
    unsigned prev = 0;
    auto header = [&](unsigned len, unsigned char f1) {
        unsigned char h[6] = {static_cast<unsigned char>(len), static_cast<unsigned char>(len >> 8),
                              static_cast<unsigned char>(prev), static_cast<unsigned char>(prev >> 8), f1, 0};
        EXPECT_EQ(pwrite(fd, h, 6, pos), 6);
        for (int b = 0; b < 2; ++b)
            if (pos == targets[b]) l.straddling[b] = static_cast<int>(l.blockStart.size()) - 1;
        ++l.headers;
        prev = len;
    };
    while (pos < 4 * kGiB + 8 * (1 << 20)) {
        l.blockStart.push_back(pos);
        l.segs.emplace_back();
        long long total = 0;
        for (int s = 0; s < kSegsPerBlock; ++s) {
            unsigned len = 65535;
            for (long long t : targets) {
                const long long room = t - pos - 6;
                if (room >= 1 && room <= 65535) len = static_cast<unsigned>(room);
                if (room > 65535 && room < 65535 + 7) len = 32768;  // never leave a gap below 7
            }
            const unsigned char f1 = (s == 0 ? HF1_BOR : 0) | (s == kSegsPerBlock - 1 ? HF1_EOR : 0);
            header(len, f1);
            l.segs.back().push_back({pos + 6, len});
            pos += 6 + len;
            total += len;
        }
        l.blockLen.push_back(total);
    }
    l.blockStart.push_back(pos);
    l.blockLen.push_back(0);
    header(0, HF1_TM);
    pos += 6;
    l.blockStart.push_back(pos);
    return l;
}

}  // namespace

TEST(HugeImage, ReadLocateValidateAndWriteAcross2And4GiB) {
    TempDir dir;
    const std::string path = dir.path("huge.tape");
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const Layout l = build(fd);
    ASSERT_GE(l.straddling[0], 0);
    ASSERT_GE(l.straddling[1], 0);
    // Real payload in the two blocks that hold the boundary headers.
    std::vector<Bytes> data(2);
    for (int b = 0; b < 2; ++b) {
        const int k = l.straddling[b];
        data[b] = pattern(static_cast<std::size_t>(l.blockLen[k]), 7 + b);
        std::size_t off = 0;
        for (const auto& seg : l.segs[k]) {
            ASSERT_EQ(pwrite(fd, data[b].data() + off, seg.second, seg.first), static_cast<ssize_t>(seg.second));
            off += seg.second;
        }
    }
    ASSERT_EQ(::close(fd), 0);
    const int blocks = static_cast<int>(l.blockLen.size());  // data blocks and the tapemark
    const long long end = l.blockStart.back();
    ASSERT_GT(end, 4 * kGiB);

    ORVtape t;
    ASSERT_EQ(t.open(path.c_str(), false), 0);
    EXPECT_EQ(t.eodPos, end);
    long long last = 0;
    EXPECT_EQ(t.validate(&last, nullptr, nullptr, nullptr), static_cast<int>(l.headers));
    EXPECT_EQ(last, end - 6);

    Bytes buf(4 << 20);
    for (int b = 0; b < 2; ++b) {
        SCOPED_TRACE(b);
        const int k = l.straddling[b];
        ASSERT_EQ(t.locate(k), b == 0 ? 0 : l.straddling[0]);
        EXPECT_EQ(t.curPos, l.blockStart[k]);
        ASSERT_EQ(t.read(buf.data(), static_cast<unsigned>(buf.size())), l.blockLen[k]);
        EXPECT_TRUE(std::equal(data[b].begin(), data[b].end(), buf.begin()));
        EXPECT_EQ(t.curPos, l.blockStart[k + 1]);
        unsigned char tail[100];
        ASSERT_EQ(t.readBkwd(tail, sizeof tail), l.blockLen[k]);
        EXPECT_TRUE(std::equal(data[b].end() - 100, data[b].end(), tail));
        EXPECT_EQ(t.curPos, l.blockStart[k]);
        EXPECT_EQ(t.blockID, k);
    }
    // Back below 2 GiB and forward to the end, spacing without buffers.
    ASSERT_EQ(t.locate(3), l.straddling[1]);
    EXPECT_EQ(t.curPos, l.blockStart[3]);
    EXPECT_EQ(t.fsf(1), 0);
    EXPECT_EQ(t.blockID, blocks);
    EXPECT_EQ(t.curPos, end);
    EXPECT_TRUE(t.eot);

    // A block written beyond 4 GiB chains to the tapemark and reads back.
    const Bytes block = pattern(300, 9);
    ASSERT_EQ(t.write(block.data(), 300), 300);
    EXPECT_EQ(t.eodPos, end + 306);
    ASSERT_EQ(t.bsf(1), 0);
    EXPECT_EQ(t.curPos, end - 6);
    ASSERT_EQ(t.fsr(1), 0);
    ASSERT_EQ(t.read(buf.data(), 300), 300);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), buf.begin()));
    EXPECT_EQ(t.validate(nullptr, nullptr, nullptr, nullptr), static_cast<int>(l.headers) + 1);
    t.close();
    EXPECT_EQ(fileSize(path), end + 306);
}
