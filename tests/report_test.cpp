// Block statistics and the report lines they print, captured with printf
// semantics through the test's writeConsoleLog.
#include "TapeInformation.h"
#include "support.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

using namespace testsupport;

namespace {

void clearLog() {
    consoleLog().clear();
    consoleCalls() = 0;
}

// One column: the item cut or padded to its width, then two spaces.
std::string col(const std::string& item, std::size_t width) {
    std::string s = item.substr(0, width);
    s.resize(width, ' ');
    return s + "  ";
}

std::string fileLine(const std::string& file, const std::string& min, const std::string& max,
                     const std::string& bytes, const std::string& blocks, const char* end) {
    return col("File-" + file, 12) + col("MinBlk-" + min, 14) + col("MaxBlk-" + max, 14) +
           col("Bytes-" + bytes, 21) + col("Blocks-" + blocks, 17) + end;
}

std::string summaryLine(const std::string& total, const std::string& min, const std::string& max,
                        const std::string& bytes) {
    return col("Total-" + total, 12) + col("MinBlk-" + min, 14) + col("MaxBlk-" + max, 14) +
           col("TotalBytes-" + bytes, 26) + "\n";
}

}  // namespace

TEST(Report, FileLinesAndCounters) {
    clearLog();
    TapeInformation info;
    EXPECT_EQ(info.tapeMinBlk, 0xFFFFFFFFu);
    info.tally(512);
    info.tally(80);
    EXPECT_EQ(consoleCalls(), 0);  // no running lines by default
    info.tally(0);
    EXPECT_EQ(consoleLog(),
              "File-0        MinBlk-80       MaxBlk-512      Bytes-592              Blocks-2           \n");
    EXPECT_EQ(consoleCalls(), 6);  // five items and the line end, all level 2 "TAPE_1090"
    EXPECT_EQ(info.fileCount, 1u);
    EXPECT_EQ(info.fileMinBlk, 0xFFFFFFFFu);  // the next file starts empty
    EXPECT_EQ(info.fileBlocks + info.fileBytes + info.fileMaxBlk, 0u);
    EXPECT_EQ(info.totalBytes, 592u);

    clearLog();
    info.tally(0);  // a file without data blocks still gets its line
    EXPECT_EQ(consoleLog(), fileLine("1", "0", "0", "0", "0", "\n"));
    EXPECT_EQ(consoleCalls(), 6);
}

TEST(Report, SummaryAndGrouping) {
    clearLog();
    TapeInformation info;
    info.summary();  // before any block: every number 0
    EXPECT_EQ(consoleLog(), summaryLine("0", "0", "0", "0"));
    EXPECT_EQ(consoleCalls(), 5);
    EXPECT_EQ(info.tapeMinBlk, 0u);

    // Three files, blocks from 80 to 65,535 bytes, 1,234,567 bytes in all.
    TapeInformation tape;
    for (unsigned len : {80u, 65535u, 0u}) tape.tally(len);
    for (int i = 0; i < 17; ++i) tape.tally(65535);
    tape.tally(0);
    tape.tally(54857);
    clearLog();
    tape.tally(0);
    EXPECT_EQ(consoleLog(), fileLine("2", "54,857", "54,857", "54,857", "1", "\n"));
    clearLog();
    tape.summary();
    tape.summary();  // resets nothing
    const std::string sum = summaryLine("3", "80", "65,535", "1,234,567");
    EXPECT_EQ(consoleLog(), sum + sum);

    // Grouping at the widest 32-bit value, and items cut to their column.
    clearLog();
    TapeInformation big;
    for (unsigned len : {4194304u, 999u, 1000u, 0u}) big.tally(len);
    EXPECT_EQ(consoleLog(), fileLine("0", "999", "4,194,304", "4,196,303", "3", "\n"));
    EXPECT_NE(consoleLog().find("MaxBlk-4,194,3  Bytes-"), std::string::npos);
    clearLog();
    big.tally(0xFFFFFFFFu);
    big.tally(0);
    // A block of 0xFFFFFFFF bytes cannot lower the unset minimum, so the file reports 0.
    EXPECT_EQ(consoleLog(), fileLine("1", "0", "4,294,967,295", "4,294,967,295", "1", "\n"));
    clearLog();
    big.tally(0xFFFFFFFFu);
    big.tally(1);  // the per-file byte count wraps; the tape total does not
    EXPECT_EQ(big.fileBytes, 0u);
    EXPECT_EQ(big.totalBytes, 4196303ull + 2 * 4294967295ull + 1);
    big.totalBytes = ULLONG_MAX;
    big.summary();
    EXPECT_EQ(consoleLog(), col("Total-2", 12) + col("MinBlk-1", 14) + "MaxBlk-4,294,9  " +
                                "TotalBytes-18,446,744,073,  \n");
}

TEST(Report, SwitchesChooseWhatIsPrinted) {
    clearLog();
    TapeInformation quiet;
    quiet.showReport = false;
    quiet.tally(0);
    quiet.summary();
    EXPECT_EQ(consoleCalls(), 0);
    EXPECT_EQ(consoleLog(), "");
    EXPECT_EQ(quiet.fileCount, 1u);   // the file is closed all the same
    EXPECT_EQ(quiet.tapeMinBlk, 0u);  // and the unset minimum becomes 0
    quiet.tally(500);
    EXPECT_EQ(quiet.tapeMinBlk, 0u);  // later blocks leave that 0

    clearLog();
    TapeInformation progress;
    progress.showProgress = true;
    progress.showReport = false;
    for (unsigned len : {1500u, 700u, 0u}) progress.tally(len);
    progress.summary();
    EXPECT_EQ(consoleLog(), fileLine("0", "1,500", "1,500", "1,500", "1", "\r") +
                                fileLine("0", "700", "1,500", "2,200", "2", "\r"));
    EXPECT_EQ(consoleCalls(), 12);

    clearLog();
    TapeInformation both;
    both.showProgress = true;
    both.tally(20);
    both.tally(0);
    EXPECT_EQ(consoleLog(),
              fileLine("0", "20", "20", "20", "1", "\r") + fileLine("0", "20", "20", "20", "1", "\n"));
}
