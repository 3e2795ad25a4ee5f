// ls's survey and check's findings as printed: text and JSON from facts
// alone, no volume and no process.
#include "base/console.h"
#include "cmd/reports.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

using namespace orvtool;

namespace {

// What f prints on standard output and on standard error.
template <class F> std::pair<std::string, std::string> said(F f) {
    char* buf = nullptr;
    size_t n = 0;
    std::FILE* out = open_memstream(&buf, &n);
    testing::internal::CaptureStderr();
    f(out);
    std::fclose(out);
    std::pair<std::string, std::string> r{std::string(buf, n), testing::internal::GetCapturedStderr()};
    std::free(buf);
    return r;
}

Counts counts(unsigned long long a, unsigned long long b) { Counts c; c.add(a), c.add(b); return c; }

}  // namespace

TEST(Render, LsTextAndJson) {
    Survey s;
    s.image = "v\xff.tape", s.imageBytes = 99;
    s.files = {counts(4096, 5000001), counts(7, 7)};
    s.total = counts(4096, 5000001), s.total.add(7), s.total.add(7);
    s.blocks = {{0, 0, 0, 4096, 80, 2, "compressed"}, {1, 86, 0, 0, 0, 0, ""}, {2, 92, 1, 7, 7, 1, "plain"}};
    const std::string totals = "Total-2       MinBlk-7        MaxBlk-5,000,001  TotalBytes-5,004,111        \n";
    const std::string file0 = "File-0        MinBlk-4,096    MaxBlk-5,000,001  Bytes-5,004,097        Blocks-2           \n";
    const std::string file1 = "File-1        MinBlk-7        MaxBlk-7        Bytes-14               Blocks-2           \n";
    const std::string block0 = "  block 0  offset 0  stored 80  data 4096  segments 2  compressed\n";
    const std::string mark = "  block 1  offset 86  tapemark\n";
    const std::string block2 = "  block 2  offset 92  stored 7  data 7  segments 1  plain\n";
    struct {
        bool open, blocks;
        std::string failure, out, err;
    } table[] = {
        {false, false, "", file0 + file1 + totals, ""},
        {true, true, "", block0 + mark + file0 + block2 + file1 + totals, "orvtape: warning: v\xff.tape: file 1 has no closing tapemark\n"},
        {true, true, "cut", block0 + mark + file0 + block2 + file1 + totals, "orvtape: cut\n"},  // no warning beside a failure
    };
    for (const auto& t : table) {
        s.lastFileOpen = t.open, s.failure = t.failure;
        EXPECT_EQ(said([&](std::FILE* out) { renderText(s, t.blocks, out); }), std::make_pair(t.out, t.err)) << t.failure;
    }
    nlohmann::ordered_json j = renderJson(s, true);
    makeJsonSafe(j);
    EXPECT_EQ(j.dump(), R"({"image":"v\\xff.tape","imageBytes":99,"files":[)"
                        R"({"file":0,"blocks":2,"bytes":5004097,"minBlock":4096,"maxBlock":5000001},)"
                        R"({"file":1,"blocks":2,"bytes":14,"minBlock":7,"maxBlock":7}],)"
                        R"("total":{"files":2,"bytes":5004111,"minBlock":7,"maxBlock":5000001},"blocks":[)"
                        R"({"block":0,"offset":0,"file":0,"stored":80,"length":4096,"segments":2,"transforms":"compressed"},)"
                        R"({"block":1,"offset":86,"tapemark":true},)"
                        R"({"block":2,"offset":92,"file":1,"stored":7,"length":7,"segments":1,"transforms":"plain"}],)"
                        R"("error":"the volume could not be read to its end"})");
    s.blocks.insert(s.blocks.end(), {{3, 98, 1, 0, 0, 0, ""}, {4, 104, 2, 0, 0, 0, "", true}});
    s.failure.clear(), s.lastFileOpen = false;
    EXPECT_EQ(said([&](std::FILE* out) { renderText(s, true, out); }).first,
              block0 + mark + file0 + block2 + "  block 3  offset 98  tapemark\n" + file1 +
                  "  block 4  offset 104  tapemark (end of volume)\n" + totals)
        << "the end mark closes no file";
    EXPECT_FALSE(renderJson(s, false).contains("blocks") || renderJson(s, false).contains("error"));
}

TEST(Render, CheckTextAndJson) {
    const Defect chain{6, {0, 0, 0x40, 0, 0x10, 0}, 6, -18, "broken"}, empty{0, {}, 0, 0, "empty"};
    const std::string head = R"({"image":"i","imageBytes":50,"headers":1,)";
    struct {
        bool defective;
        Defect d;
        std::vector<Defect> more;
        std::vector<std::string> warnings;
        const char *text, *json;
    } table[] = {
        {false, {}, {}, {}, "i: 1 headers, clean\n", R"("clean":true,"multiSegment":true,"compressed":false})"},
        {true, chain, {{9, {}, 0, -12, "later"}}, {},
         "i: defect after 1 good header\n  offset 6, header bytes 00 00 40 00 10 00\n  broken\n  later\n",
         R"("clean":false,"multiSegment":true,"compressed":false,"defect":{"offset":6,"header":"00 00 40 00 10 00",)"
         R"("code":-18,"message":"broken"},"more":[{"offset":9,"message":"later"}]})"},
        {true, empty, {}, {}, "i: defect after 1 good header\n  offset 0, header bytes (none)\n  empty\n",
         R"("clean":false,"multiSegment":true,"compressed":false,"defect":{"offset":0,"header":"","message":"empty"}})"},
        {false, {}, {}, {"w1", "w2"}, "i: 1 good headers, but the labels disagree with the data\n  w1\n  w2\n",
         R"("clean":false,"multiSegment":true,"compressed":false,"labelWarnings":["w1","w2"]})"},
        {true, empty, {}, {"w"}, "i: 1 good headers, but the labels disagree with the data\n  w\n  empty\n", nullptr},
    };
    for (const auto& t : table) {
        Findings f;
        f.image = "i", f.imageBytes = 50, f.headers = 1, f.multiSegment = true;
        f.defective = t.defective, f.defect = t.d, f.more = t.more;
        f.labels.labelled = !t.warnings.empty(), f.labels.warnings = t.warnings;
        EXPECT_EQ(f.clean(), !t.defective && t.warnings.empty());
        EXPECT_EQ(said([&](std::FILE* out) { renderText(f, out); }).first, t.text);
        if (t.json) {
            EXPECT_EQ(renderJson(f).dump(), head + t.json) << t.text;
        }
    }
}

TEST(Render, JsonSafeKeepsWellFormedUtf8AndEscapesEveryOtherByte) {
    const std::pair<const char*, const char*> rows[] = {  // the edges of each sequence length, overlong forms, surrogates
        {"a\xc2\x80\xdf\xbf\x7f", "a\xc2\x80\xdf\xbf\x7f"}, {"\xc1\xbf", "\\xc1\\xbf"}, {"\xe0\xa0\x80", "\xe0\xa0\x80"},
        {"\xe0\x9f\xbf", "\\xe0\\x9f\\xbf"}, {"\xed\x9f\xbf\xef\xbf\xbf", "\xed\x9f\xbf\xef\xbf\xbf"}, {"\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {"\xf0\x90\x80\x80", "\xf0\x90\x80\x80"}, {"\xf0\x8f\xbf\xbf", "\\xf0\\x8f\\xbf\\xbf"}, {"\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"}, {"\xf5\x80", "\\xf5\\x80"}, {"\xe2\x82", "\\xe2\\x82"}, {"\xe2(\xac", "\\xe2(\\xac"},
        {"\x80\xc0\xff", "\\x80\\xc0\\xff"}};
    for (auto [in, want] : rows) EXPECT_EQ(jsonSafe(in), want);
}
