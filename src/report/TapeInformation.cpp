// Block statistics per file and per tape, printed item by item through the
// host's writeConsoleLog.
#include "TapeInformation.h"

#include <cstdio>
#include <string>

// The host's logging function.  The public header leaves it undeclared so
// that hosts may return int or void; whatever it returns is ignored, which
// the calling convention allows for either definition.
extern "C" void writeConsoleLog(int level, const char* messageId, const char* format, ...);

namespace {

constexpr int kLevel = 2;
constexpr const char* kMessageId = "TAPE_1090";
constexpr unsigned int kNoBlock = 0xFFFFFFFFu;

// Decimal digits with a comma wherever a positive multiple of three digits follows.
std::string grouped(unsigned long long value) {
    char digits[24];
    const int n = std::snprintf(digits, sizeof digits, "%llu", value);
    std::string out;
    out.reserve(32);
    for (int i = 0; i < n; ++i) {
        out += digits[i];
        const int following = n - 1 - i;
        if (following > 0 && following % 3 == 0) out += ',';
    }
    return out;
}

void printItem(const char* format, const char* label, unsigned long long value) {
    const std::string item = label + grouped(value);
    writeConsoleLog(kLevel, kMessageId, format, item.c_str());
}

void printLineEnd(const char* end) { writeConsoleLog(kLevel, kMessageId, end); }

}  // namespace

TapeInformation::TapeInformation()
    : fileBytes(0), fileCount(0), fileBlocks(0), fileMinBlk(kNoBlock), fileMaxBlk(0),
      tapeMinBlk(kNoBlock), tapeMaxBlk(0), totalBytes(0), showProgress(false), showReport(true) {}

TapeInformation::~TapeInformation() {}

void TapeInformation::tally(unsigned int blockLen) {
    auto printFileLine = [this](const char* end) {
        printItem("%-12.12s  ", "File-", fileCount);
        printItem("%-14.14s  ", "MinBlk-", fileMinBlk);
        printItem("%-14.14s  ", "MaxBlk-", fileMaxBlk);
        printItem("%-21.21s  ", "Bytes-", fileBytes);
        printItem("%-17.17s  ", "Blocks-", fileBlocks);
        printLineEnd(end);
    };
    if (blockLen > 0) {
        ++fileBlocks;
        fileBytes += blockLen;
        totalBytes += blockLen;
        if (blockLen < fileMinBlk) fileMinBlk = blockLen;
        if (blockLen > fileMaxBlk) fileMaxBlk = blockLen;
        if (tapeMinBlk > fileMinBlk) tapeMinBlk = fileMinBlk;
        if (tapeMaxBlk < fileMaxBlk) tapeMaxBlk = fileMaxBlk;
        if (showProgress) printFileLine("\r");
        return;
    }
    if (fileMinBlk == kNoBlock) fileMinBlk = 0;
    if (showReport) printFileLine("\n");
    ++fileCount;
    fileBytes = 0;
    fileBlocks = 0;
    fileMaxBlk = 0;
    fileMinBlk = kNoBlock;
}

void TapeInformation::summary() {
    if (tapeMinBlk == kNoBlock) tapeMinBlk = 0;
    if (!showReport) return;
    printItem("%-12.12s  ", "Total-", fileCount);
    printItem("%-14.14s  ", "MinBlk-", tapeMinBlk);
    printItem("%-14.14s  ", "MaxBlk-", tapeMaxBlk);
    printItem("%-26.26s  ", "TotalBytes-", totalBytes);
    printLineEnd("\n");
}
