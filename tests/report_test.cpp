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
std::string line(const std::string& file, const std::string& min, const std::string& max, const std::string& bytes,
                 const std::string& blocks, const char* end) {
    return col("File-" + file, 12) + col("MinBlk-" + min, 14) + col("MaxBlk-" + max, 14) + col("Bytes-" + bytes, 21) +
           col("Blocks-" + blocks, 17) + end;
}
}  // namespace

TEST(Report, LinesForEveryCombinationOfSwitches) {
    const std::string f0 = line("0", "80", "512", "592", "2", "\n"), f1 = line("1", "0", "0", "0", "0", "\n"),
                      f2 = line("2", "999", "4,194,304", "4,196,303", "3", "\n"),
                      run0 = line("0", "512", "512", "512", "1", "\r") + line("0", "80", "512", "592", "2", "\r"),
                      run2 = line("2", "4,194,304", "4,194,304", "4,194,304", "1", "\r") +
                             line("2", "999", "4,194,304", "4,195,303", "2", "\r") +
                             line("2", "999", "4,194,304", "4,196,303", "3", "\r"),
                      total = col("Total-3", 12) + col("MinBlk-80", 14) + col("MaxBlk-4,194,304", 14) +
                              col("TotalBytes-4,196,895", 26) + "\n";
    const struct { bool progress, report; std::string log; int calls; } cases[] = {
        {false, true, f0 + f1 + f2 + total + total, 28}, {false, false, "", 0},
        {true, false, run0 + run2, 30}, {true, true, run0 + f0 + f1 + run2 + f2 + total + total, 58}};
    for (const auto& c : cases) {
        consoleLog().clear(), consoleCalls() = 0;
        TapeInformation info;
        info.showProgress = c.progress, info.showReport = c.report;
        for (unsigned len : {512, 80, 0, 0, 4194304, 999, 1000, 0}) info.tally(len);
        info.summary();
        info.summary();  // resets nothing
        EXPECT_EQ(consoleLog(), c.log);
        EXPECT_EQ(consoleCalls(), c.calls);  // one per item and line end, all level 2 "TAPE_1090"
        EXPECT_TRUE(info.fileCount == 3 && info.tapeMinBlk == 80 && info.tapeMaxBlk == 4194304 && info.totalBytes == 4196895);
        EXPECT_TRUE(info.fileMinBlk == 0xFFFFFFFFu && info.fileBlocks + info.fileBytes + info.fileMaxBlk == 0);
    }
    // The unset minimum becomes 0 for good; 32-bit counts wrap; items are cut.
    consoleLog().clear();
    TapeInformation info;
    info.summary();
    info.tally(500);
    info.tally(0xFFFFFFFFu);
    EXPECT_TRUE(info.tapeMinBlk == 0 && info.fileBytes == 499 && info.fileMinBlk == 500);
    info.totalBytes = ULLONG_MAX;
    info.summary();
    info.tally(0);
    EXPECT_EQ(consoleLog(), col("Total-0", 12) + col("MinBlk-0", 14) + col("MaxBlk-0", 14) + col("TotalBytes-0", 26) +
                                "\n" + col("Total-0", 12) + col("MinBlk-0", 14) + "MaxBlk-4,294,9  " +
                                "TotalBytes-18,446,744,073,  \n" +
                                line("0", "500", "4,294,967,295", "499", "2", "\n"));
    consoleLog().clear();
    TapeInformation huge;
    huge.tally(0xFFFFFFFFu);  // cannot lower the unset minimum, so the file reports 0
    huge.tally(0);
    EXPECT_EQ(consoleLog(), line("0", "0", "4,294,967,295", "4,294,967,295", "1", "\n"));
}
