// label.h - the 80-byte label blocks of labelled tapes: standard labels in
// EBCDIC (code page 037) and ANSI labels in ASCII, read and built by column.
#ifndef ORVTAPE_TOOL_LABELS_LABEL_H
#define ORVTAPE_TOOL_LABELS_LABEL_H

#include <cstddef>
#include <string>

namespace orvtool {

constexpr unsigned kLabelBytes = 80;

// What one label block says.  Numbers that are not digits read as -1.
struct Label {
    std::string id;     // VOL1, HDR1, HDR2, EOF1, EOF2, EOV1, EOV2; others are read for their id only
    bool ebcdic = false;
    // VOL1
    std::string volser, owner;
    // HDR1, EOF1, EOV1
    std::string dsn, created, expires;  // dates as cyyddd
    long long volSeq = -1, fileSeq = -1, blockCount = -1;
    // The block count is kept modulo a million; standard labels may carry
    // four more digits of it, which widen the modulus.
    unsigned long long blockCountModulus = 1000000;
    // HDR2, EOF2, EOV2
    char recfm = ' ', blockAttr = ' ';
    long long blockSize = -1, recordLength = -1;
};

// Reads an 80-byte block as a label; false when it is none (any other
// length, or a first word that no label has in either code).
bool parseLabel(const char* p, size_t n, Label& out);

// "cyyddd" as YYYY-MM-DD, empty when it is not a valid date; and today's
// date (UTC) as cyyddd.
std::string labelDate(const std::string& cyyddd);
std::string todayCyyddd();

// 80-byte blocks, EBCDIC unless ansi.  kind is HDR, EOF or EOV.
std::string buildVol1(const std::string& volser, const std::string& owner, bool ansi);
std::string buildLabel1(const char* kind, const std::string& dsn, const std::string& volser,
                        long long fileSeq, const std::string& created, long long blocks, bool ansi);
std::string buildLabel2(const char* kind, char recfm, long long blockSize, long long recordLength,
                        char blockAttr, bool ansi);

}  // namespace orvtool

#endif
