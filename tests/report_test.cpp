// Block statistics and the report lines they print, captured with printf
// semantics through the test's writeConsoleLog.
#include "TapeInformation.h"
#include "support.h"

#include <climits>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {
// One column: the item cut or padded to its width, then two spaces.
std::string col(const std::string& item, std::size_t width) {
    std::string s = item.substr(0, width);
    s.resize(width, ' ');
    return s + "  ";
}
std::string line(const char* a, const char* min, const char* max, const char* bytes, const char* blocks, const char* end) {
    return col(std::string("File-") + a, 12) + col(std::string("MinBlk-") + min, 14) + col(std::string("MaxBlk-") + max, 14) +
           col(std::string("Bytes-") + bytes, 21) + col(std::string("Blocks-") + blocks, 17) + end;
}
std::string sum(const char* files, const char* min, const char* max, const char* bytes) {
    return col(std::string("Total-") + files, 12) + col(std::string("MinBlk-") + min, 14) +
           col(std::string("MaxBlk-") + max, 14) + col(std::string("TotalBytes-") + bytes, 26) + "\n";
}
}  // namespace

TEST(Report, LinesForEveryCombinationOfSwitches) {
    const std::vector<unsigned> tallies = {512, 80, 0, 0, 4194304, 999, 1000, 0};
    const std::string f0 = line("0", "80", "512", "592", "2", "\n"), f1 = line("1", "0", "0", "0", "0", "\n"),
                      f2 = line("2", "999", "4,194,304", "4,196,303", "3", "\n"),
                      running = line("0", "512", "512", "512", "1", "\r") + line("0", "80", "512", "592", "2", "\r"),
                      running2 = line("2", "4,194,304", "4,194,304", "4,194,304", "1", "\r") +
                                 line("2", "999", "4,194,304", "4,195,303", "2", "\r") +
                                 line("2", "999", "4,194,304", "4,196,303", "3", "\r"),
                      total = sum("3", "80", "4,194,304", "4,196,895");
    const struct { bool progress, report; std::string log; int calls; } cases[] = {
        {false, true, f0 + f1 + f2 + total + total, 28},
        {false, false, "", 0},
        {true, false, running + running2, 30},
        {true, true, running + f0 + f1 + running2 + f2 + total + total, 58},
    };
    for (const auto& c : cases) {
        consoleLog().clear(), consoleCalls() = 0;
        TapeInformation info;
        info.showProgress = c.progress, info.showReport = c.report;
        for (unsigned len : tallies) info.tally(len);
        info.summary();
        info.summary();  // resets nothing
        EXPECT_EQ(consoleLog(), c.log);
        EXPECT_EQ(consoleCalls(), c.calls);  // one per item and line end, all level 2 "TAPE_1090"
        EXPECT_TRUE(info.fileCount == 3 && info.tapeMinBlk == 80 && info.tapeMaxBlk == 4194304 && info.totalBytes == 4196895);
        EXPECT_TRUE(info.fileMinBlk == 0xFFFFFFFFu && info.fileBlocks + info.fileBytes + info.fileMaxBlk == 0);
    }
}

TEST(Report, UnsetMinimumWrappingAndCutItems) {
    consoleLog().clear();
    TapeInformation info;
    info.summary();  // before any block: every number 0, and the minimum stays 0
    info.tally(500);
    EXPECT_EQ(info.tapeMinBlk, 0u);
    info.tally(0xFFFFFFFFu);  // the per-file byte count wraps; the tape total does not
    EXPECT_EQ(info.fileBytes, 499u);
    info.totalBytes = ULLONG_MAX;
    info.summary();
    EXPECT_EQ(consoleLog(), sum("0", "0", "0", "0") + col("Total-0", 12) + col("MinBlk-0", 14) + "MaxBlk-4,294,9  " +
                                "TotalBytes-18,446,744,073,  \n");
    consoleLog().clear();
    TapeInformation huge;
    huge.tally(0xFFFFFFFFu);  // cannot lower the unset minimum, so the file reports 0
    huge.tally(0);
    EXPECT_EQ(consoleLog(), line("0", "0", "4,294,967,295", "4,294,967,295", "1", "\n"));
}
