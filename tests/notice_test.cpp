// The notice stamping routine, run in child processes because it always ends
// the process: synthetic files, then its own compiled object.
#include "support.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace testsupport;

namespace {

Bytes groups(int n) {
    Bytes out;
    for (int i = 0; i < n; ++i) out = out + Bytes{0x60, 0, 0, 0};
    return out;
}

// Stamps `file` as cpyrht.o in a fresh directory; the result, or the exit
// status with a marker when the routine returned or printed anything.
Bytes stamp(const Bytes* file) {
    TempDir dir;
    if (file) writeFile(dir.path("cpyrht.o"), *file);
    const int status = inChild([&] {
        const int out = ::open(dir.path("console").c_str(), O_WRONLY | O_CREAT, 0644);
        if (out < 0 || chdir(dir.path("").c_str()) != 0) return 99;
        dup2(out, 1), dup2(out, 2);
        print_copyright_msg();
        return 98;  // never reached: the routine ends the process itself
    });
    if (status != 0 || fileSize(dir.path("console")) != 0) return {0xEE, static_cast<unsigned char>(status)};
    return file ? readFile(dir.path("cpyrht.o")) : Bytes(fileSize(dir.path("cpyrht.o")) == -1 ? 0 : 1, 0xFF);
}

}  // namespace

TEST(Notice, StampsTheFirstPlaceholder) {
    // The text the routine stamps: 288 bytes of lines, carried in its own object.
    const Bytes holder = groups(72), notice = stamp(&holder), obj = readFile(ORVTAPE_NOTICE_OBJECT);
    ASSERT_EQ(notice.size(), 288u);
    EXPECT_TRUE(std::all_of(notice.begin(), notice.end(), [](unsigned char c) { return c == '\n' || (c >= 32 && c < 127); }));
    EXPECT_NE(std::search(obj.begin(), obj.end(), notice.begin(), notice.end()), obj.end());
    EXPECT_EQ(stamp(nullptr), Bytes{});  // no file: nothing created, status 0
    const Bytes sixty{0x60};
    const struct { const char* what; Bytes before, after; } cases[] = {
        {"empty", {}, {}},
        {"71 groups", groups(71), groups(71)},
        {"framed", Bytes{1} + groups(72) + Bytes{2}, Bytes{1} + notice + Bytes{2}},
        {"at offset 0, ending at the last byte", groups(72), notice},
        {"breaking 60 then 72 groups", sixty + groups(72), sixty + groups(72)},
        {"breaking 60 then 73 groups", sixty + groups(73), sixty + groups(1) + notice},
        {"two placeholders", Bytes{1} + groups(72) + Bytes{2} + groups(72), Bytes{1} + notice + Bytes{2} + groups(72)},
        {"longer run", groups(80) + Bytes{3}, notice + groups(8) + Bytes{3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(stamp(&c.before), c.after);
    }
    // In its own object the placeholder is the routine's code, and only it changes.
    const auto at = std::search(obj.begin(), obj.end(), holder.begin(), holder.end());
    ASSERT_NE(at, obj.end());
    Bytes expect = obj;
    std::copy(notice.begin(), notice.end(), expect.begin() + (at - obj.begin()));
    EXPECT_TRUE(stamp(&obj) == expect);
}
