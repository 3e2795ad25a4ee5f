// The tape-file walker under get --all, ls --sum and check --manifest: a
// caller may leave a file before its end, and the next file is still found.
#include "cmd/extract.h"
#include "script_source.h"

#include <gtest/gtest.h>

using namespace orvtool;

TEST(TapeFiles, NextSkipsWhatIsLeftOfTheCurrentFile) {
    // Steps: n moves to the next file (its number, or "end"); b reads a
    // block of it (its length, or "-" at the file's end).
    struct Case {
        const char *volume, *steps, *want;
    } cases[] = {
        {"D1 D2 M D3 M M", "nnbbn", "0 1 3 - end"},
        {"D1 D2 M D3 M M", "nbnbb", "0 1 1 3 -"},
        {"M D4 D5 M M", "nbnbn", "0 - 1 4 end"},
    };
    for (const Case& c : cases) {
        Script volume(c.volume);
        TapeFiles files(volume);
        std::string got;
        for (const char* s = c.steps; *s; ++s) {
            Block b;
            if (*s == 'n') got += files.next() ? std::to_string(files.number()) : "end";
            else got += files.block(b) ? std::to_string(b.length) : "-";
            if (s[1]) got += " ";
        }
        EXPECT_EQ(got, c.want) << c.volume << " stepped " << c.steps;
    }
}
