// Unit tests of the interchange formats and the pump: every format's writer
// read back by its reader, detection on every format's output, refusals of
// malformed input, and the pump's account of what a sink cannot carry.
#include "base/pump.h"
#include "formats/format.h"
#include "image/blocks.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <tuple>
#include <unistd.h>

namespace orvtool {
namespace {

// A block as a test states it: kind, bytes and flags.
struct Want {
    Kind kind = Kind::Data;
    std::string data;
    bool readError = false;
    Packing packing = Packing::None;
    bool operator==(const Want& o) const { return std::tie(kind, data, readError, packing) == std::tie(o.kind, o.data, o.readError, o.packing); }
};
Want seen(const Block& b) {
    return {b.kind, std::string(reinterpret_cast<const char*>(b.data), b.data ? b.length : 0), b.readError, b.packing};
}
const Want kMark{Kind::Mark, "", false, Packing::None}, kGap{Kind::Gap, "", false, Packing::None},
    kEnd{Kind::EndOfMedium, "", false, Packing::None};
Want data(std::string s, bool flagged = false) { return {Kind::Data, std::move(s), flagged, Packing::None}; }
std::string text(size_t n) {  // compresses well
    std::string s;
    while (s.size() < n) s += "record " + std::to_string(s.size()) + " of a compressible file\n";
    return s.substr(0, n);
}
std::string noise(size_t n, unsigned seed = 1) {  // does not
    std::string s(n, 0);
    for (char& c : s) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
    return s;
}

Block view(const Want& w, long long offset) {
    Block b;
    b.kind = w.kind;
    b.data = reinterpret_cast<const unsigned char*>(w.data.data());
    b.length = w.data.size();
    b.readError = w.readError;
    b.packing = w.packing;
    b.offset = offset;
    return b;
}

// The bytes a format's writer makes of what fill puts into it.
template <typename Fill>
std::string writtenBy(const Format& f, const FormatArgs& args, Fill fill) {
    FILE* tmp = std::tmpfile();
    OutputFile out(fileno(tmp), "out");
    auto sink = f.writer(out, args);
    fill(*sink);
    std::string bytes(static_cast<size_t>(out.written()), 0);
    EXPECT_EQ(pread(fileno(tmp), &bytes[0], bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    std::fclose(tmp);
    return bytes;
}
std::string written(const Format& f, const std::vector<Want>& blocks, const FormatArgs& args = {}) {
    return writtenBy(f, args, [&](BlockSink& sink) {
        for (const Want& w : blocks) sink.put(view(w, 0));
        sink.finish();
    });
}

// What a format's reader makes of bytes; "!" and the message on a refusal.
std::vector<Want> readBack(const Format& f, const std::string& bytes, size_t maxBlock = 1u << 20, bool alone = false) {
    InputFile in("in", bytes.data(), bytes.size());
    FormatArgs args;
    args.maxBlock = maxBlock;
    args.alone = alone;
    std::vector<Want> got;
    try {
        auto source = f.reader(in, args);
        for (Block b; source->next(b);) got.push_back(seen(b));
    } catch (const ToolError& e) {
        got.push_back(data(std::string("!") + e.what()));
    }
    return got;
}

const std::vector<Want> kPlain{data("x"), data(noise(4097)), kMark, data(text(65535)), data("odd"), kMark, kMark};

TEST(Formats, WhatEachWriterWritesItsReaderReadsBackAndDetectionNames) {
    FormatArgs chunked, zlib, bzip2;
    chunked.chunk = 16;
    zlib.compress = "zlib";
    bzip2.compress = "bzip2";
    bzip2.level = 1;
    auto packed = [](const std::vector<Want>& in, Packing p) {
        std::vector<Want> out = in;
        for (Want& w : out)
            if (w.kind == Kind::Data && w.data.size() > 100 && w.data[1] == 'e') w.packing = p;
        return out;
    };
    struct Row {
        const char* format;
        std::vector<Want> blocks;
        FormatArgs args;
        std::vector<Want> expected;  // empty: the blocks
        const char* detected = nullptr;  // null: the format
    } rows[] = {
        {"tap", kPlain, {}, {}},  {"e11", kPlain, {}, {}}, {"tpc", kPlain, {}, {}},
        {"aws", kPlain, {}, {}},  {"aws", kPlain, chunked, {}},
        {"het", kPlain, {}, {}, "aws"},  // het with nothing compressed is aws
        {"het", kPlain, zlib, packed(kPlain, Packing::Zlib)},
        {"het", kPlain, bzip2, packed(kPlain, Packing::Bzip2)},
        {"het", packed(kPlain, Packing::Zlib), chunked, {}},  // kept as the source had it
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.format) + " chunk " + std::to_string(r.args.chunk) + " " + r.args.compress);
        const Format& f = findFormat(r.format);
        const std::string bytes = written(f, r.blocks, r.args);
        EXPECT_EQ(readBack(f, bytes), r.expected.empty() ? r.blocks : r.expected);
        InputFile in("in", bytes.data(), bytes.size());
        EXPECT_EQ(detectFormat(in), r.detected ? r.detected : r.format);
    }
}

TEST(Formats, MalformedInputIsRefusedWithWhereAndWhy) {
    const std::string tap3 = std::string("\3\0\0\0abc\0\3\0\0\0", 12);
    struct Row {
        const char* format;
        std::string bytes;
        const char* message;
        bool alone = false;  // read from a block inside the file: its first header's back length is not checked
    } rows[] = {
        {"e11", tap3, "closing length word differs from its opening one (if odd lengths are padded, the file is tap"},
        {"tap", std::string("\3\0\0\0abc\3\0\0\0\0\0", 12), "if odd lengths are not padded, the file is e11"},
        {"tap", std::string("\0\0\0\0\4\0\0\0abcd\4\0\0\0", 16), "offset 4: a record of 4 bytes is longer than the block limit of 3"},
        {"tpc", std::string("\4\0abc", 5), "offset 0: a record of 4 bytes is longer than the block limit of 3"},
        {"tpc", std::string("\2\0a", 3), "offset 0: the file ends inside a record"},
        {"aws", std::string("\0\0\0\0\x40\0\1\0\5\0\xa0\0x", 13), "offset 6: the header says the chunk before it holds 5 bytes, but it holds 0"},
        {"aws", std::string("\1\0\0\0\xa0\1x", 7), "offset 0: flags2 is 01: an orvtape image with transforms"},
        {"aws", std::string("\1\0\0\0\xa4\0x", 7), "flags1 a4 has unknown bits"},
        {"aws", std::string("\1\0\0\0\x20\0x", 7), "a block begins without its first-chunk flag"},
        {"aws", std::string("\1\0\0\0\x80\0x\0\0\1\0\x40\0", 13), "offset 7: a tapemark stands inside a block"},
        {"het", std::string("\2\0\0\0\xa1\0xy", 8), "offset 0: the compressed block does not expand: the zlib stream is corrupt"},
        {"het", std::string("\1\0\0\0\xa3\0x", 7), "both compression bits are set"},
        {"aws", std::string("\4\0\0\0\xa0\0abcd", 10), "the block is longer than the block limit of 3 (--max-block)"},
        {"aws", std::string("\1\0\5\0\x80\0x\1\0\2\0\x20\0y", 14), "offset 7: the header says the chunk before it holds 2", true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.message);
        const std::vector<Want> got = readBack(findFormat(r.format), r.bytes, 3, r.alone);
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.back().data.rfind("!in: offset ", 0), 0u) << got.back().data;
        EXPECT_NE(got.back().data.find(r.message), std::string::npos) << got.back().data;
    }
    const std::string junk = "neither framed nor chained";
    InputFile in("in", junk.data(), junk.size());
    std::string considered;
    EXPECT_EQ(detectFormat(in, &considered), "");
    EXPECT_EQ(considered, "the 6-byte headers of aws, het and orv break at offset 0, the length words of tap at "
                          "offset 0 and of e11 at offset 0, tpc's records run to offset 25968, not to the end of the file");
    // The image is named only with transforms: without, its chain is aws.
    const ExtraBid image{"orv", imageBid};
    for (const char flags2 : {'\x81', '\x82', '\0'}) {
        const std::string chain = std::string("\3\0\0\0\xa0", 5) + flags2 + "abc" + std::string("\0\0\3\0\x40\0", 6);
        InputFile chained("in", chain.data(), chain.size());
        EXPECT_EQ(detectFormat(chained, nullptr, &image), flags2 ? "orv" : "aws");
        EXPECT_EQ(detectFormat(chained), flags2 ? "" : "aws");
    }
}

// tap's words, built by hand: a record of a class, and a lone word.
std::string word(uint32_t w) { return std::string{char(w), char(w >> 8), char(w >> 16), char(w >> 24)}; }
std::string rec(unsigned cls, const std::string& d, bool pad = true) {
    const std::string w = word(cls << 28 | static_cast<uint32_t>(d.size()));
    return w + d + (pad && d.size() % 2 ? std::string(1, '\0') : "") + w;
}

// What a reader makes of bytes, one token a block: class/length (! when
// flagged), TM, GAP, EOM, K<marker value>; a refusal as !<message>.  Every
// block goes on into the format's writer, whose bytes land in rewritten.
std::string tokens(const Format& f, const std::string& bytes, std::string& rewritten) {
    InputFile in("in", bytes.data(), bytes.size());
    std::string out;
    rewritten = writtenBy(f, {}, [&](BlockSink& sink) {
        try {
            auto source = f.reader(in, {});
            for (Block b; source->next(b); sink.put(b)) {
                out += out.empty() ? "" : " ";
                switch (b.kind) {
                case Kind::Data: out += std::to_string(b.recordClass) + "/" + std::to_string(b.length) + (b.readError ? "!" : ""); break;
                case Kind::Mark: out += "TM"; break;
                case Kind::Gap: out += "GAP"; break;
                case Kind::EndOfMedium: out += "EOM"; break;
                case Kind::Marker: out += "K" + std::to_string(b.value); break;
                }
            }
        } catch (const ToolError& e) {
            out += std::string(out.empty() ? "!" : " !") + e.what();
        }
        sink.finish();
    });
    return out;
}

const std::string kEveryClass = rec(0, "abc") + rec(8, "bad!") + rec(8, "") + rec(1, "p1") + rec(2, "p2") +
                                rec(3, "p3") + rec(4, "p4") + rec(5, "p5") + rec(6, "p6") + word(0x70000005) +
                                rec(14, "described") + word(0) + word(0xFFFFFFFE) + word(0xFFFFFFFF);

TEST(Formats, TapWordsReadByTheirClass) {
    const std::string halfGapThenGap = "\xff\xff\xfe\xff\xff\xff";  // the gap's word starts 2 bytes on
    struct Row {
        const char* format;
        std::string bytes;
        const char* blocks;
        bool writtenBack = false;  // byte for byte by the writer
    } rows[] = {
        {"tap", kEveryClass, "0/3 8/4! 8/0! 1/2 2/2 3/2 4/2 5/2 6/2 K5 14/9 TM GAP EOM", true},
        {"e11", rec(8, "odd", false) + rec(8, "", false) + rec(14, "x", false) + word(0x7000000F) + word(0xFFFFFFFE),
         "8/3! 8/0! 14/1 K15 GAP", true},
        {"tap", rec(1, "0123456789"), "1/10", true},
        {"tap", word(0x7FFFFFFF) + word(0x70000000), "K268435455 K0", true},
        {"tap", rec(9, "r9") + rec(15, "f") + rec(13, ""), "9/2 15/1 13/0", true},  // reserved: framed, never a length
        {"tap", halfGapThenGap + rec(0, "abc"), "GAP GAP 0/3"},
        {"tap", "\x34\x12\xff\xff" + halfGapThenGap.substr(2) + rec(0, "a"), "GAP GAP GAP 0/1"},
        {"tap", "\xfd\xff\xff\xff\xff\xff" + word(0), "GAP EOM"},
        {"tap", word(0xFFFFFFFF) + "junk", "EOM"},
        {"tap", "\xff\xff\xfe\xff", "GAP !in: offset 2: the file ends inside a length word"},
        {"tap", word(0x20000100) + "ab", "!in: offset 0: a record of 256 bytes is longer than the rest of the file"},
        {"tap", word(0x80000002) + "ab" + word(2), "!in: offset 0: the record's closing length word differs from its opening one"},
        {"tap", word(0x70000001) + rec(0, "ab").substr(0, 7), "K1 !in: offset 4: a record of 2 bytes is longer than the rest of the file"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.blocks);
        std::string rewritten;
        EXPECT_EQ(tokens(findFormat(r.format), r.bytes, rewritten), r.blocks);
        EXPECT_EQ(rewritten == r.bytes, r.writtenBack);
    }
}

// A sink that holds what it is given and carries only what it is told.
struct Held : BlockSink {
    Carries c;
    std::vector<Want> got;
    bool finished = false;
    Carries carries() const override { return c; }
    void put(const Block& b) override { got.push_back(seen(b)); }
    void finish() override { finished = true; }
};

struct Listed : BlockSource {
    std::vector<Want> blocks;
    size_t at = 0;
    bool next(Block& b) override {
        if (at == blocks.size()) return false;
        b = view(blocks[at], static_cast<long long>(at) * 100);
        ++at;
        return true;
    }
    long long consumed() const override { return static_cast<long long>(at) * 100; }
};

TEST(Pump, CountsByKindAndPositionWhatTheSinkCannotCarryAndSplitsOnlyWhenAllowed) {
    Want packed = data("zipped");
    packed.packing = Packing::Bzip2;
    Listed source;
    source.blocks = {data("0123456789"), kGap, data("bad", true), data("", true), kMark, packed, kGap, kEnd};
    for (int i = 0; i < 12; ++i) source.blocks.push_back(kGap);
    Held sink;
    sink.c.maxBlock = 4;
    Progress progress("test", 0, true);
    const Tally t = pump(source, sink, progress, {"src", "narrow", true});
    EXPECT_TRUE(sink.finished);
    EXPECT_EQ(sink.got, (std::vector<Want>{data("0123"), data("4567"), data("89"), data("bad", true), kMark,
                                           {Kind::Data, "zipp", false, Packing::Bzip2}, {Kind::Data, "ed", false, Packing::Bzip2}}));
    EXPECT_EQ(t.blocks, 6);
    EXPECT_EQ(t.marks, 1);
    EXPECT_EQ(t.split.where(), "0, 500");
    EXPECT_EQ(t.gaps.count, 14);
    EXPECT_EQ(t.gaps.where(), "100, 600, 800, 900, 1000, 1100, 1200, 1300, 1400, 1500, ...");
    EXPECT_EQ(t.flagged.where(), "200");
    EXPECT_EQ(t.empty.where(), "300");
    EXPECT_EQ(t.unpacked.where(), "500");
    EXPECT_EQ(t.endOfMedium, 700);

    Listed again;
    again.blocks = {kMark, data("12345")};
    Held narrow, wide;
    narrow.c.maxBlock = 4;
    wide.c.gaps = wide.c.readErrors = wide.c.endOfMedium = wide.c.compression = true;
    try {
        pump(again, narrow, progress, {"src", "narrow", false});
        ADD_FAILURE() << "a block too long went through";
    } catch (const ToolError& e) {
        EXPECT_STREQ(e.what(), "src: block 1 at offset 100 holds 5 bytes; narrow takes at most 4 per block "
                               "(--split cuts longer blocks into several)");
    }
    source.at = 0;
    const Tally all = pump(source, wide, progress, {"src", "wide", false});
    EXPECT_EQ(wide.got.size(), source.blocks.size());
    EXPECT_EQ(all.gaps.count + all.flagged.count + all.empty.count + all.unpacked.count + all.split.count, 0);
}

TEST(Pump, NamesByRecordWhatAnImageCannotHoldOfTapsClasses) {
    const std::string bytes = kEveryClass.substr(0, kEveryClass.size() - 8) + rec(9, "r9") + rec(15, "") +
                              word(0x7000000A) + rec(0, "end");
    InputFile in("in", bytes.data(), bytes.size());
    auto source = findFormat("tap").reader(in, {});
    Held image;  // carries plain blocks and tapemarks only
    Progress progress("test", 0, true);
    const Tally t = pump(*source, image, progress, {"in", "an image", false});
    EXPECT_EQ(image.got, (std::vector<Want>{data("abc"), data("bad!", true), kMark, data("end")}));
    EXPECT_EQ(t.blocks, 3);
    struct Row {
        const Events& events;
        const char *offsets, *records;
    } rows[] = {
        {t.flagged, "12", "1"},
        {t.empty, "24", "2"},
        {t.privateRecords, "32, 42, 52, 62, 72, 82", "3, 4, 5, 6, 7, 8"},
        {t.markers, "92, 136", "9, 14"},
        {t.descriptions, "96", "10"},
        {t.reserved, "118, 128", "12, 13"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(r.events.where(), r.offsets);
        EXPECT_EQ(r.events.which(), r.records);
    }
    InputFile again("in", bytes.data(), bytes.size());  // tap holds all but the reserved classes
    source = findFormat("tap").reader(again, {});
    EXPECT_EQ(writtenBy(findFormat("tap"), {}, [&](BlockSink& tap) { pump(*source, tap, progress, {"in", "tap", false}); }),
              kEveryClass.substr(0, kEveryClass.size() - 8) + word(0x7000000A) + rec(0, "end"));
}

TEST(Formats, ExportNamesItsFormatByOptionElseByExtension) {
    struct Row {
        const char *to, *path, *format;  // format null: a usage error
    } rows[] = {
        {"", "x.tap", "tap"},     {"", "dir/X.HET", "het"}, {"", "a.b.Tpc", "tpc"}, {"", ".e11", "e11"},
        {"aws", "x.tap", "aws"},  {"", "x.tape", nullptr},  {"", "x.het/y", nullptr}, {"", "-", nullptr},
        {"", "x", nullptr},       {"", "x.tap.gz", nullptr},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path);
        try {
            EXPECT_STREQ(outputFormat(r.to, r.path).name, r.format ? r.format : "(a usage error)");
        } catch (const ToolError& e) {
            EXPECT_FALSE(r.format);
            EXPECT_EQ(e.status(), kExitUsage);
            EXPECT_EQ(e.what(), std::string(r.path) + ": names no format by its extension (.aws, .het, .tap, .e11 "
                                                      "or .tpc); name one with --to");
        }
    }
}

}  // namespace
}  // namespace orvtool
