// The labels wing: code page, label blocks, the labelled layout both ways, record formats.
#include "base/error.h"
#include "labels/codepage.h"
#include "labels/dataset.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace orvtool;

namespace {

struct Vec : BlockSource, BlockSink {  // blocks kept as copies; a source and a sink
    std::vector<std::pair<Block, std::string>> v;
    size_t at = 0;
    bool next(Block& b) override {
        if (at == v.size()) return false;
        b = v[at].first;
        b.data = reinterpret_cast<const unsigned char*>(v[at++].second.data());
        return true;
    }
    long long consumed() const override { return static_cast<long long>(at); }
    Carries carries() const override { return {}; }
    void put(const Block& b) override { v.emplace_back(b, b.data ? std::string(reinterpret_cast<const char*>(b.data), b.length) : ""); }
    void finish() override {}
    void add(const std::string& s, Kind k = Kind::Data) { Block b; b.kind = k; b.length = s.size(); put(b); v.back().second = s; }
};

std::string errorOf(const std::function<void()>& f) { try { f(); } catch (const ToolError& e) { return e.what(); } return ""; }

}  // namespace

TEST(Labels, CodePage) {
    for (int c = 0; c < 256; ++c)  // one way suffices: the other follows for 256 codes
        EXPECT_EQ(latin1ToEbcdic(ebcdicToLatin1(static_cast<unsigned char>(c))), c);
    const std::pair<int, int> pairs[] = {{0x40, ' '}, {0x81, 'a'}, {0xF9, '9'}, {0x4A, 0xA2}, {0x5F, 0xAC}, {0xBA, '['}, {0xBB, ']'},
                                         {0x25, '\n'}, {0x15, 0x85}, {0xE0, '\\'}, {0x5A, '!'}, {0xFF, 0x9F}, {0x00, 0x00}, {0x7D, '\''}};
    for (auto [e, l] : pairs) EXPECT_EQ(ebcdicToLatin1(static_cast<unsigned char>(e)), l) << std::hex << e;
}

TEST(Labels, BuildAndParse) {
    for (bool ebcdic : {false, true}) {
        Label l;
        ASSERT_TRUE(parseLabel(buildVol1("VOL001", "OWNER", !ebcdic).data(), 80, l));
        EXPECT_EQ(std::make_tuple(l.id, l.volser, l.owner, l.ebcdic), std::make_tuple("VOL1", "VOL001", "OWNER", ebcdic));
        std::string h1 = buildLabel1("EOF", "MY.DATA", "VOL001", 12345, "024060", 1234567, !ebcdic);
        ASSERT_TRUE(parseLabel(h1.data(), 80, l));
        EXPECT_EQ(std::make_tuple(l.id, l.dsn, l.volser, l.volSeq, l.fileSeq, l.created, l.expires),
                  std::make_tuple("EOF1", "MY.DATA", "VOL001", 1LL, 2345LL, "024060", " 00000"));
        // Only standard labels carry the high digits of the count.
        EXPECT_EQ(l.blockCount, ebcdic ? 1234567 : 234567);
        EXPECT_EQ(l.blockCountModulus, ebcdic ? 10000000000ull : 1000000ull);
        ASSERT_TRUE(parseLabel(buildLabel2("HDR", 'V', 123456, 32760, 'B', !ebcdic).data(), 80, l));
        EXPECT_EQ(std::make_tuple(l.id, l.recfm, l.blockSize, l.recordLength, l.blockAttr),
                  std::make_tuple("HDR2", 'V', 23456LL, 32760LL, 'B'));
    }
    // Numbers: blanks around digits allowed, anything else is no number.
    const std::pair<const char*, long long> seqs[] = {{"  7 ", 7}, {"0042", 42}, {"    ", -1}, {" 1 2", -1},
                                                     {"12/ ", -1}, {"12: ", -1}, {"9999", 9999}};
    for (auto [field, want] : seqs) {
        std::string s = buildLabel1("HDR", "D", "V", 1, "024060", 0, true);
        s.replace(31, 4, field);
        Label l;
        ASSERT_TRUE(parseLabel(s.data(), 80, l));
        EXPECT_EQ(l.fileSeq, want) << field;
    }
    const std::string vol = buildVol1("V", "", true);
    Label l;
    for (std::string id : {"VOL0", "VOL:", "VOLA", "ABC1", "HDR ", "EOV9", "UTL1"})
        EXPECT_EQ(parseLabel((id + vol.substr(4)).data(), 80, l), id == "EOV9" || id == "UTL1") << id;
    EXPECT_FALSE(parseLabel((vol + " ").data(), 81, l));
    EXPECT_FALSE(parseLabel(vol.data(), 79, l));
}

TEST(Labels, Dates) {
    const std::pair<const char*, const char*> rows[] = {
        {" 99001", "1999-01-01"}, {"024060", "2024-02-29"}, {"023060", "2023-03-01"}, {"023059", "2023-02-28"},
        {"024366", "2024-12-31"}, {"023365", "2023-12-31"}, {"023366", ""}, {"000366", "2000-12-31"},
        {" 00366", ""}, {"100366", ""}, {"100001", "2100-01-01"}, {"024032", "2024-02-01"}, {"023000", ""},
        {"02301", ""}, {"0a3001", ""}, {"/23001", ""}, {":23001", ""}, {"02300:", ""}, {"000000", ""}, {"999365", "2999-12-31"}};
    for (auto [d, want] : rows) EXPECT_EQ(labelDate(d), want) << '"' << d << '"';
}

namespace {
// A volume from words: VOL1 HDR1 HDR2 EOF1:n EOV1:n EOF2 (ANSI labels, EOF1:x with no
// count), D (100 data bytes), | (tapemark).
Vec volume(const std::string& spec) {
    Vec v;
    std::istringstream in(spec);
    for (std::string w; in >> w;) {
        const std::string kind = w.substr(0, 3);
        if (w == "|") v.add("", Kind::Mark);
        else if (w == "D") v.add(std::string(100, 'd'));
        else if (w == "Z") v.add(buildLabel1("HDR", "00000000000000000", "V1", 0, "", 0, false));  // scratch
        else if (kind == "VOL") v.add(w + buildVol1("V1", "", true).substr(4));
        else if (w[3] == '2') v.add(buildLabel2(kind.c_str(), 'U', 100, 0, ' ', true));
        else {
            std::string l = buildLabel1(kind.c_str(), "DS", "V1", 1, "024060", w.size() > 5 ? std::atoi(&w[5]) : 0, true);
            if (w.size() > 5 && w[5] == 'x') l.replace(54, 6, "      ");
            v.add(l);
        }
    }
    return v;
}
}  // namespace

TEST(Labels, ReadLayouts) {
    const std::tuple<const char*, bool, size_t, const char*> rows[] = {
        {"VOL1 HDR1 HDR2 | D D | EOF1:2 EOF2 | |", true, 1, ""},
        {"VOL1 VOL2 HDR1 HDR2 | HDR1 | EOV1:1 | |", true, 1, ""},  // labels in the data are data
        {"VOL1 HDR1 HDR2 | | EOF1 EOF2 | |", true, 1, ""},  // an empty data file
        {"VOL1 HDR1 HDR2 | D D | EOF1:3 EOF2 | |", true, 1, "data set 1 (DS): EOF1 counts 3 blocks, the data holds 2"},
        {"VOL1 HDR1 | D | EOF1:x | |", true, 1, "data set 1 (DS): the EOF1 block count is not a number"},
        {"VOL1 HDR1 | D | D | |", true, 1, "data set 1 (DS): no EOF labels after its data;tape file 2: data without header labels"},
        {"VOL1 HDR1 HDR2 | |", true, 1, "data set 1 (DS): header labels without data"},
        {"VOL1 HDR1 HDR2 | D D", true, 1, "data set 1 (DS): no EOF labels after its data"},
        {"VOL1 HDR1 | D | EOF1:1 | EOF1 | |", true, 1, "tape file 3: labels without a data set (EOF1)"},
        {"VOL1 HDR1 | D | EOF1:1 | HDR1 | D D | EOF1:2 | |", true, 2, ""},
        {"VOL1 Z |", true, 0, ""}, {"VOL1 HDR1 | D | EOF1:1 | Z |", true, 1, ""},  // initialised: no data set
        {"VOL1 Z | D |", true, 0, "tape file 1: data without header labels"},
        {"HDR1 HDR2 | D | EOF1 | |", false, 0, ""}, {"VOL1 | D |", false, 0, ""}, {"VOL1 HDR1 D |", false, 0, ""},
        {"VOL1 HDR1", false, 0, ""}, {"VOL1 HDR2 | |", false, 0, ""}, {"VOL1 VOL1 HDR1 |", false, 0, ""}, {"", false, 0, ""}};
    for (auto [spec, labelled, sets, warnings] : rows) {
        Vec v = volume(spec);
        LabelledVolume got = readLabels(v);
        std::string said;
        for (const auto& w : got.warnings) said += (said.empty() ? "" : ";") + w;
        EXPECT_EQ(std::make_tuple(got.labelled, got.sets.size(), said), std::make_tuple(labelled, sets, warnings)) << spec;
        EXPECT_EQ(got.scratch, std::string(spec) == "VOL1 Z |") << spec;
    }
}

TEST(Labels, WriteThenRead) {
    for (bool ansi : {false, true}) {
        Vec out;
        LabelledWriter w(out, LabelPlan{true, ansi, true, "VOL9", 3});
        w.begin("FIRST", RecordFormat{'F', 'B', 80}, 800, "024060");
        const std::string data(800, 'x');
        Block d;
        d.data = reinterpret_cast<const unsigned char*>(data.data()), d.length = data.size();
        for (int i = 0; i < 3; ++i) w.put(d);
        w.end();
        w.begin("SECOND", RecordFormat{'U', ' ', 0}, 100, " 99365");
        w.end();
        std::string shape;
        for (auto& [b, s] : out.v)
            shape += b.kind == Kind::Mark ? (b.isLabel ? "m " : "M ")
                                          : b.isLabel ? (ansi ? s.substr(0, 4) : toLatin1(s.substr(0, 4))) + " " : "D ";
        EXPECT_EQ(shape, "VOL1 HDR1 HDR2 m D D D m EOF1 EOF2 M HDR1 HDR2 m m EOF1 EOF2 M ");
        out.add("", Kind::Mark);
        LabelledVolume v = readLabels(out);
        ASSERT_EQ(v.sets.size(), 2u);
        EXPECT_EQ(std::make_tuple(v.labelled, v.ebcdic, v.volser, v.warnings.size()), std::make_tuple(true, !ansi, "VOL9", 0u));
        const DataSet &a = v.sets[0], &b = v.sets[1];
        EXPECT_EQ(std::make_tuple(a.fileSeq, a.dsn, a.created, a.recfm, a.blockAttr, a.blockSize, a.recordLength, a.dataFile, a.blocks, a.bytes),
                  std::make_tuple(3LL, "FIRST", "2024-02-29", 'F', 'B', 800LL, 80LL, 1LL, 3ull, 2400ull));
        EXPECT_EQ(std::make_tuple(b.fileSeq, b.dsn, b.created, b.recfm, b.dataFile, b.blocks),
                  std::make_tuple(4LL, "SECOND", "1999-12-31", 'U', 4LL, 0ull));
        EXPECT_EQ(findDataSet(v, "v", "second  ", 0).dsn, "SECOND");
        EXPECT_EQ(findDataSet(v, "v", "", 1).dsn, "FIRST");
        EXPECT_EQ(errorOf([&] { findDataSet(v, "v", "", 3); }), "v: has no data set 3 (it holds 2)");
        EXPECT_EQ(errorOf([&] { findDataSet(v, "v", "x", 0); }), "v: has no data set named X");
    }
    EXPECT_EQ(errorOf([] { findDataSet(LabelledVolume{}, "v", "x", 0); }),
              "v: is not a labelled volume (it does not begin with VOL1 and HDR1 labels)");
}

namespace {
std::string bdw(const std::string& recs) { return std::string{char((recs.size() + 4) >> 8), char(recs.size() + 4), 0, 0} + recs; }
std::string rdw(const std::string& r, int seg = 0) { return std::string{char((r.size() + 4) >> 8), char(r.size() + 4), char(seg), 0} + r; }
}  // namespace

TEST(Labels, Unblock) {
    struct Row { const char* recfm; long long lrecl; std::vector<std::string> blocks; int opts; std::string want; };
    enum { Ascii = 1, Strip = 2, Lines = 4 };
    const std::string a300(300, 'a');
    const Row rows[] = {
        {"U", 0, {"abc", "de"}, Lines, "abc\nde\n"},
        {"F", 3, {"abcdefg"}, Lines, "abc\ndef\ng\n"},  // a short last record is kept as it is
        {"FB", 0, {"abcd"}, Lines, "abcd\n"},
        {"F", 4, {"ab\x40\x40" "c \x40\x40"}, Strip | Lines, "ab\nc \n"},  // EBCDIC blanks stripped
        {"F", 2, {"\xC1\xC2\x81\x40"}, Ascii | Strip | Lines, "AB\na\n"},
        {"V", 0, {bdw(rdw("one")), bdw(rdw(""))}, Lines, "one\n\n"},
        {"VB", 0, {bdw(rdw("one") + rdw(a300) + rdw("x", 3))}, 0, "one" + a300 + "x"},  // segment bits count only when spanned
        {"VBS", 0, {bdw(rdw("ab", 1) + rdw("cd", 3)), bdw(rdw("ef", 2) + rdw("g"))}, Lines, "abcdef\ng\n"},
        {"VS", 0, {bdw(rdw("ab", 1)), bdw(rdw("cd", 2))}, 0, "abcd"},
        {"V", 0, {std::string("\0\x04", 2)}, 0, "block 0 of the data set: its block descriptor word does not fit its 2 bytes"},
        {"V", 0, {std::string("\0\x03\0\0", 4)}, 0, "block 0 of the data set: its block descriptor word does not fit its 4 bytes"},
        {"V", 0, {std::string("\0\x06\0\0x", 5)}, 0, "block 0 of the data set: its block descriptor word does not fit its 5 bytes"},
        {"V", 0, {bdw(rdw("ab")) + "zz"}, 0, "block 0 of the data set: 2 bytes follow the 10 that its block descriptor word counts"},
        {"V", 0, {bdw(rdw("ab") + "yy")}, 0, "block 0 of the data set: the record descriptor word at byte 10 does not fit the block"},
        {"V", 0, {bdw(std::string("\0\x03\0\0", 4))}, 0, "block 0 of the data set: the record descriptor word at byte 4 does not fit the block"},
        {"V", 0, {bdw(std::string("\0\x09\0\0abcd", 8))}, 0, "block 0 of the data set: the record descriptor word at byte 4 does not fit the block"},
        {"VS", 0, {bdw(rdw("a")), bdw(rdw("b", 2))}, 0, "block 1 of the data set: the segment at byte 4 continues a spanned record that has no first segment"},
        {"VS", 0, {bdw(rdw("x")), bdw(rdw("a", 1)), bdw(rdw("b", 0))}, 0, "block 2 of the data set: a new record begins at byte 4 while the spanned record begun in block 1 lacks its last segment"},
        {"VS", 0, {bdw(rdw("x")), bdw(rdw("a", 1) + rdw("b", 3))}, 0, "block 1 of the data set: its spanned record has no last segment before the end of the data set"}};
    for (const Row& r : rows) {
        RecordFormat f;
        ASSERT_TRUE(parseRecfm(r.recfm, f)) << r.recfm;
        f.lrecl = r.lrecl;
        Unblocker u(f, r.opts & Ascii, r.opts & Strip, r.opts & Lines, (r.opts & Ascii) || r.recfm[0] != 'F' ? ' ' : '\x40');
        std::string out;
        const std::string err = errorOf([&] {
            for (size_t i = 0; i < r.blocks.size(); ++i) u.block(r.blocks[i].data(), r.blocks[i].size(), static_cast<long long>(i), out);
            u.finish();
        });
        EXPECT_EQ(err.empty() ? out : err, r.want) << r.recfm << " " << r.want;
    }
    RecordFormat f;
    for (const char* bad : {"", "X", "UB", "FX", "VBB", "FSB", "VBSX"}) EXPECT_FALSE(parseRecfm(bad, f)) << bad;
}

TEST(Labels, InputBlocks) {
    struct Row { const char* recfm; long long lrecl; unsigned long long bs; bool text; std::string in, want; bool padded; };
    const Row rows[] = {
        {"U", 0, 4, false, "abcdefghij", "abcd|efgh|ij|", false},
        {"F", 3, 10, false, "abcdefg", std::string("abc|def|g\0\0|", 12), true},
        {"FB", 3, 10, false, "abcdefghijk", std::string("abcdefghi|jk\0|", 14), true},
        {"FB", 3, 10, false, "abcdef", "abcdef|", false},
        {"FB", 4, 8, true, "ab\n\ncdef\ng", toEbcdic("ab      ") + "|" + toEbcdic("cdefg   ") + "|", false},
        {"U", 0, 4, true, "abcde", toEbcdic("abcd") + "|" + toEbcdic("e") + "|", false},
        {"FB", 2, 8, true, "ab\nabc\n", "in: line 2 is longer than the record length (2)", false},
        {"FB", 10, 5, false, "x", "--lrecl must not exceed the block size", false}};
    for (const Row& r : rows) {
        RecordFormat f;
        ASSERT_TRUE(parseRecfm(r.recfm, f));
        f.lrecl = r.lrecl;
        size_t at = 0;  // one or three bytes a read: blocks and lines across reads
        auto read = [&](char* p, size_t n) { n = std::min<size_t>({n, at % 2 ? 3u : 1u, r.in.size() - at}); r.in.copy(p, n, at); at += n; return n; };
        std::string got;
        bool padded = false;
        const std::string err = errorOf([&] {
            InputBlocks in(read, "in", f, r.bs, r.text);
            for (Block b; in.next(b); padded = in.padded()) got += std::string(reinterpret_cast<const char*>(b.data), b.length) + "|";
            EXPECT_EQ(in.consumed(), static_cast<long long>(r.in.size()));
        });
        EXPECT_EQ(std::make_pair(err.empty() ? got : err, padded), std::make_pair(r.want, r.padded)) << r.recfm << " " << r.in;
    }
}
