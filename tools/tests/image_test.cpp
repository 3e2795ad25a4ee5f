// The image wing: how a walk classifies what it meets and what a failure
// says, what a failed write names, resync, verify, and new files' names.
#include "base/files.h"
#include "image/verify.h"
#include "image/layout.h"
#include "image/sink.h"

#include <ORVtape.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace orvtool;

namespace {

using Bytes = std::vector<unsigned char>;
const Common quiet = [] { Common c; c.quiet = true; return c; }();

// A file of the test's own, gone with it.
struct TempImage {
    std::string path;
    TempImage() : path("/tmp/image_test." + std::to_string(getpid()) + "." + std::to_string(count++)) {}
    ~TempImage() { ::unlink(path.c_str()); }
    static inline int count = 0;
    // b as the whole file, or written over it at offset at.
    void set(const Bytes& b, long long at = -1) const {
        std::fstream f(path, at < 0 ? std::ios::out | std::ios::binary : std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(at < 0 ? 0 : at).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }
};

// Blocks by length (0: a tapemark, negative: that many bytes compressed, all: every block), written by the library.
void write(const TempImage& t, const std::vector<int>& blocks, bool all = false) {
    ORVtapeWriter w;
    w.setMaxRecordSize(8 << 20);
    ASSERT_EQ(w.open(t.path.c_str(), 0, 0), ORVTAPE_OK);
    for (int n : blocks) {
        w.setCompress(n < 0 || all);
        Bytes data(static_cast<size_t>(std::abs(n)));
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(n < 0 ? i / 64 : i * 7 + 3);
        ASSERT_GE(n == 0 ? w.wtm(1) : w.write(data.data(), static_cast<unsigned>(data.size())), 0);
    }
    ASSERT_EQ(w.close(), ORVTAPE_OK);
}

// The steps of a walk up to the end of the data or a failure (-1).
std::vector<int> steps(const TempImage& t, unsigned long long maxBlock, Failure& f) {
    const Volume v = Volume::forReading(t.path, Limits{maxBlock});
    BlockWalk walk(v, ReadMode::Pass);
    std::vector<int> out;
    Block b;
    for (Step s = Step::Block; s != Step::EndOfData;) {
        if (!walk.tryStep(b, s, f)) {
            Step again;
            EXPECT_FALSE(walk.tryStep(b, again, f)) << "a failure leaves the walk at the block";
            return out.push_back(-1), out;
        }
        out.push_back(static_cast<int>(s));
    }
    return out;
}

constexpr int B = static_cast<int>(Step::Block), FM = static_cast<int>(Step::FileMark),
              EM = static_cast<int>(Step::EndMark), END = static_cast<int>(Step::EndOfData);

}  // namespace

TEST(Image, WalkClassifiesStepsAndFailures) {
    struct Row {
        std::vector<int> blocks;
        long cut;  // bytes cut off the end
        unsigned long long maxBlock;
        std::pair<long, unsigned char> patch;  // a header byte set at an offset (0: none)
        std::vector<int> want;
        std::string said;  // in the failure's sentence
        int drive;
    } rows[] = {
        {{3, 0, -9000, 0, 0}, 0, 1 << 20, {}, {B, FM, B, FM, EM, END}, "", 0},
        {{0}, 0, 1 << 20, {}, {EM, END}, "", 0},                 // an empty volume is its end mark
        {{0, 0, 5}, 0, 1 << 20, {}, {FM, FM, B, END}, "", 0},    // empty files stay files; no end mark
        {{3, 0}, 0, 1 << 20, {}, {B, FM, END}, "", 0},           // a last file's mark is no end mark
        {{3, 0, 200}, 10, 1 << 20, {}, {B, FM, -1}, "block 2 at offset 15: the block's payload is cut short", -12},
        {{3, 0, 200}, 203, 1 << 20, {}, {B, FM, -1}, "block 2 at offset 15: the image ends inside a header", -2},
        {{3, 100}, 0, 50, {}, {B, -1}, "block 1 at offset 9 claims 100 bytes, more than --max-block (50)", 0},
        {{-(5 << 20)}, 0, 4 << 20, {}, {-1}, "block 0 at offset 0 claims 5242880 bytes, more than --max-block", 0},
        {{-(5 << 20), 0, 0}, 0, 8 << 20, {}, {B, FM, EM, END}, "", 0},  // beyond the record size, within the limit
        {{3, 0, 200}, 0, 1 << 20, {19, 0x20}, {B, FM, -1}, "block 2 at offset 15: the block's headers do not form a proper block", -10},
        {{3, 0, 200}, 0, 1 << 20, {19, 0xA1}, {B, FM, -1}, "block 2 at offset 15: a header has reserved flag bits set", -3},
    };
    for (const Row& r : rows) {
        TempImage t;
        write(t, r.blocks);
        std::filesystem::resize_file(t.path, std::filesystem::file_size(t.path) - static_cast<unsigned long>(r.cut));
        if (r.patch.first) t.set(Bytes{r.patch.second}, r.patch.first);
        Failure f;
        EXPECT_EQ(steps(t, r.maxBlock, f), r.want) << r.said;
        if (r.said.empty()) continue;
        EXPECT_NE(f.sentence().find(r.said), std::string::npos) << f.sentence();
        EXPECT_EQ(f.driveCode(), r.drive) << r.said;
    }
    // A compressed block whose prefix claims nothing is refused by the tool, not read as a tapemark.
    TempImage t;
    t.set(Bytes{3, 0, 0, 0, 0xA0, 0x81, 0x80, 'x', 'y'});
    Failure f;
    EXPECT_EQ(steps(t, 1 << 20, f), std::vector<int>{-1});
    EXPECT_EQ(f.sentence(), "block 0 at offset 0: a compressed block whose length prefix says 0");
    const Failure io{ORVTAPE_ERR_IO, Refusal::None, EIO, 0, 0, 70, 4};  // a failing disk cannot be made here: the words
    EXPECT_EQ(io.sentence(), "block 4 at offset 70: the image ends inside a header, or the read failed (library code -2, Input/output error)");
}

TEST(Image, FailedWriteNamesWhatItHit) {
    const unsigned char bytes[4] = {1, 2, 3, 4};
    for (const auto& [kind, label, said] : {std::tuple{Kind::Data, true, "a label (library code -12"},
                                            {Kind::Data, false, "a block (library code -12"}, {Kind::Mark, false, "a tapemark (library code -11"}}) {
        const int fd = ::open("/dev/full", O_RDWR);
        Block b;
        b.kind = kind, b.isLabel = label, b.data = bytes, b.length = kind == Kind::Data ? 4 : 0;
        try {
            ImageSink out(fd, "full", WriteSettings{});
            ParallelEncode(out, WriteSettings{}, 1, quiet).put(b);
            out.finish();
            ADD_FAILURE() << "a full disk went unnoticed";
        } catch (const ToolError& e) {
            EXPECT_NE(std::string(e.what()).find(std::string("cannot write ") + said), std::string::npos) << e.what();
        }
        ::close(fd);
    }
}

TEST(Image, ResyncFindsTheChainAfterGarbageAcrossReads) {
    for (long gap : {0L, 1L, 65530L, 65531L, 65532L, 200000L}) {  // a header across the first read's end at 65531
        TempImage t;
        write(t, {300, 0, 7, 0, 0});
        std::ifstream in(t.path, std::ios::binary);
        Bytes file(static_cast<size_t>(gap), 0xFF);
        file.insert(file.end(), std::istreambuf_iterator<char>(in), {});
        t.set(file);
        EXPECT_EQ(resync(Volume::forReading(t.path, Limits{}), 0), gap);
    }
}

TEST(Image, VerifyFindsEveryDifference) {
    const std::vector<int> source = {300, 0, 7, 0, 0};  // block 0's last byte at offset 305
    struct Row { std::vector<int> copy; bool packed; long patch; std::string said; } rows[] = {  // patch < 0: the source's
        {source, false, 0, ""}, {source, true, 0, ""}, {source, false, 305, "block 0 of the copy differs from the source"},
        {source, true, -305, "block 0 of"}, {{300, 0, 8, 0, 0}, false, 0, "block 2 of"},
        {{300, 0, 0, 0}, false, 0, "block 2 of"}, {{300, 0, 7, 0}, false, 0, "block 4 of"}};
    for (const Row& r : rows)
        for (int jobs : {1, 3}) {
            TempImage a, b;
            write(a, source), write(b, r.copy, r.packed);
            if (r.patch) (r.patch < 0 ? a : b).set(Bytes(1, 0x55), std::abs(r.patch));
            std::string said;
            try {
                EXPECT_EQ(verify(Volume::forReading(a.path, Limits{}), "b", jobs, quiet, b.path, 5, EarlyVerdict{}), 5);
            } catch (const ToolError& e) { said = e.what(); }
            EXPECT_TRUE(said.find(r.said) != std::string::npos && said.empty() == r.said.empty()) << said;
        }
}

TEST(Image, NewFileTakesItsNameOnlyWhenComplete) {
    enum Before { Nothing, Old, Appears, DirGone };
    struct Row { Before before; bool force, commit; std::string after, said; } rows[] = {  // said: the failure
        {Nothing, false, true, "new", ""}, {Old, false, true, "new", ""}, {Old, false, false, "old", ""},
        {Appears, false, true, "old", "/t: was made by another process meanwhile; use --force to replace it"},
        {Appears, true, true, "new", ""}, {DirGone, false, true, "", "cannot name the new file in"}};
    for (const Row& r : rows) {
        const std::string dir = TempImage().path + ".d", target = dir + "/t";
        std::filesystem::create_directory(dir);
        if (r.before == Old) std::ofstream(target) << "old", ::chmod(target.c_str(), 0640);
        std::string said;
        try {
            NewFile file(target, false, r.force);
            if (r.before == Appears) std::ofstream(target) << "old";
            if (r.before == DirGone) std::filesystem::remove(dir);
            EXPECT_EQ(::write(file.fd(), "new", 3), 3);
            if (r.commit) file.commit();
        } catch (const ToolError& e) { said = e.what(); }
        EXPECT_TRUE(said.find(r.said) != std::string::npos && said.empty() == r.said.empty()) << said;
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(std::ifstream(target).rdbuf()), {}), r.after);
        EXPECT_TRUE(r.before != Old || std::filesystem::status(target).permissions() == std::filesystem::perms(0640));
        EXPECT_EQ(r.before == DirGone ? 0 : std::distance(std::filesystem::directory_iterator(dir), {}), r.before != DirGone);
        std::filesystem::remove_all(dir);
    }
}
