// The mounted view's index and cache, where a mount cannot cheaply show a
// fault: which tapemarks open files, where a byte's block is, what the cache holds.
#include "mount/index.h"
#include "mount/view.h"
#include "script_source.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace orvtool;

namespace {

// Each file as its size, "!" when damaged.
std::string filesOf(const VolumeIndex& v) {
    std::string out;
    for (const FileIndex& f : v.files) out += std::to_string(f.size) + (f.damaged ? "! " : " ");
    return out;
}

TEST(MountIndex, TapemarksOpenFilesExceptTheEndMark) {
    const struct {
        const char* script;
        const char* files;
    } cases[] = {
        {"", ""},
        {"M", ""},                      // the end mark at the load point
        {"M M", "0 "},                  // an empty file, then the end mark
        {"D5 M M", "5 "},
        {"D5 D3 M", "8 "},              // the data ends after a closing tapemark
        {"D5 M M D2 M M", "5 0 2 "},    // an empty file kept where it stands
        {"D5 G D0 M D1", "5 1 "},       // gaps and empty blocks hold no byte; the last file open
        {"D5 M D4 X D9", "5 4! "},      // the damaged file up to its last good block
        {"D5 M X", "5 0! "},            // damage right after a tapemark opens the file it is in
    };
    for (const auto& c : cases) {
        Script s(c.script);
        const VolumeIndex v = indexVolume(s);
        EXPECT_EQ(filesOf(v), c.files) << c.script;
        EXPECT_EQ(v.damage.empty(), std::string(c.script).find('X') == std::string::npos) << c.script;
    }
}

TEST(MountIndex, FindsTheBlockOfEveryByteAcrossBoundaries) {
    Script s("D3 D1 D4 D2");
    const FileIndex f = indexVolume(s).files.at(0);
    const std::size_t expected[] = {0, 0, 0, 1, 2, 2, 2, 2, 3, 3, 4, 4};
    for (unsigned long long pos = 0; pos < 12; ++pos) EXPECT_EQ(f.find(pos), expected[pos]) << pos;
    EXPECT_TRUE(f.blocks[2].offset == 8 + 3 + 8 + 1 && f.blocks[2].span == 12u && f.lengthOf(3) == 2u);
}

TEST(MountCache, KeepsTheRecentWithinItsBudget) {
    BlockCache cache(25);
    auto block = [](std::size_t n) { return std::make_shared<const Bytes>(n); };
    cache.add(1, block(10));
    cache.add(2, block(10));
    ASSERT_NE(cache.find(1), nullptr);  // 1 is now the most recent: 2 goes first
    cache.add(3, block(10));
    EXPECT_TRUE(!cache.find(2) && cache.find(1) && cache.find(3));
    EXPECT_EQ(cache.held(), 20u);
    cache.add(4, block(40));  // alone over the budget, kept for its reader
    EXPECT_TRUE(cache.held() == 40u && cache.find(4));
}

// Blocks of 100 bytes stored in 10 (as compressed ones are), each byte its
// block's number; every decode takes a while and is counted.
class SlowDecoder : public BlockDecoder {
public:
    void decode(const IndexedBlock& b, Bytes& out) const override {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ++decodes;
        out.assign(100, static_cast<unsigned char>(b.offset / 10));
    }
    mutable std::atomic<int> decodes{0};
};

TEST(MountView, ReadersAndReadAheadDecodeEachBlockOnce) {
    const std::size_t blocks = 24;
    VolumeIndex index;
    index.files.emplace_back();
    for (std::size_t k = 0; k < blocks; ++k)
        index.files[0].blocks.push_back(IndexedBlock{static_cast<long long>(k * 10), k * 100, 10, 0});
    index.files[0].size = blocks * 100;
    SlowDecoder decoder;
    View view(std::move(index), LabelledVolume{}, "{}", decoder, 1 << 20, [](const std::string&) {}, 2);
    const Node& file = *view.find("file0000");
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r)
        readers.emplace_back([&] {
            char buf[250];
            for (unsigned long long at = 0; at < blocks * 100; at += sizeof buf) {
                const long got = view.read(file, at, buf, sizeof buf);
                for (long k = 0; k < got; ++k)
                    if (buf[k] != static_cast<char>((at + static_cast<unsigned long long>(k)) / 100)) ++wrong;
                if (got <= 0) ++wrong;
            }
        });
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(decoder.decodes, static_cast<int>(blocks));
}

}  // namespace
