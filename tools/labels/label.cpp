// label.cpp - label blocks by column (1-based, as label layouts are given).
#include "label.h"
#include "codepage.h"

#include <cstdio>
#include <ctime>

namespace orvtool {

namespace {

std::string field(const std::string& s, size_t col, size_t len) { return s.substr(col - 1, len); }

// A field of digits (leading and trailing blanks allowed); -1 otherwise.
long long number(const std::string& s, size_t col, size_t len) {
    std::string f = field(s, col, len);
    size_t a = f.find_first_not_of(' '), b = f.find_last_not_of(' ');
    if (a == std::string::npos) return -1;
    long long v = 0;
    for (size_t i = a; i <= b; ++i) {
        if (f[i] < '0' || f[i] > '9') return -1;
        v = v * 10 + (f[i] - '0');
    }
    return v;
}

std::string trimmed(const std::string& s) {
    size_t e = s.find_last_not_of(' ');
    return e == std::string::npos ? "" : s.substr(0, e + 1);
}

// Every label of the groups, also those the tool only passes over: further
// volume, header and trailer labels, and user labels.
bool isLabelId(const std::string& id) {
    static const char* const kinds[] = {"VOL", "UVL", "HDR", "EOF", "EOV", "UHL", "UTL"};
    if (id[3] < '1' || id[3] > '9') return false;
    for (const char* k : kinds)
        if (id.compare(0, 3, k) == 0) return true;
    return false;
}

bool isOneOf(const std::string& id, const char* a, const char* b, const char* c) { return id == a || id == b || id == c; }

// Puts text (cut or blank-padded to len) at col of an 80-column ASCII line.
void put(std::string& line, size_t col, size_t len, const std::string& text) {
    line.replace(col - 1, len, (text + std::string(len, ' ')).substr(0, len));
}

void putNumber(std::string& line, size_t col, size_t len, long long v) {
    std::string d = std::to_string(v);
    put(line, col, len, std::string(len > d.size() ? len - d.size() : 0, '0') + d);
}

std::string finish(const std::string& line, bool ansi) { return ansi ? line : toEbcdic(line); }

}  // namespace

bool parseLabel(const char* p, size_t n, Label& out) {
    if (n != kLabelBytes) return false;
    std::string s(p, n);
    Label l;
    if (!isLabelId(s.substr(0, 4))) {
        s = toLatin1(s);
        if (!isLabelId(s.substr(0, 4))) return false;
        l.ebcdic = true;
    }
    l.id = s.substr(0, 4);
    if (l.id == "VOL1") {
        l.volser = trimmed(field(s, 5, 6));
        l.owner = trimmed(l.ebcdic ? field(s, 42, 10) : field(s, 38, 14));
    } else if (isOneOf(l.id, "HDR1", "EOF1", "EOV1")) {
        l.dsn = trimmed(field(s, 5, 17));
        l.volser = trimmed(field(s, 22, 6));
        l.volSeq = number(s, 28, 4);
        l.fileSeq = number(s, 32, 4);
        l.created = field(s, 42, 6);
        l.expires = field(s, 48, 6);
        l.blockCount = number(s, 55, 6);
        long long high = number(s, 77, 4);
        if (l.blockCount >= 0 && high >= 0) {
            l.blockCount += high * 1000000;
            l.blockCountModulus = 10000000000ull;
        }
    } else if (isOneOf(l.id, "HDR2", "EOF2", "EOV2")) {
        l.recfm = s[4];
        l.blockSize = number(s, 6, 5);
        l.recordLength = number(s, 11, 5);
        l.blockAttr = s[38];
    }
    out = l;
    return true;
}

std::string labelDate(const std::string& d) {
    if (d.size() != 6 || (d[0] != ' ' && (d[0] < '0' || d[0] > '9'))) return "";
    for (size_t i = 1; i < 6; ++i)
        if (d[i] < '0' || d[i] > '9') return "";
    // The century digit: blank for 19xx, 0 for 20xx, 1 for 21xx...
    int year = 1900 + (d[0] == ' ' ? 0 : d[0] - '0' + 1) * 100 + std::stoi(d.substr(1, 2));
    int day = std::stoi(d.substr(3, 3));
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day < 1 || day > (leap ? 366 : 365)) return "";
    static const int len[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int month = 0;
    for (; day > len[month] + (month == 1 && leap); ++month) day -= len[month] + (month == 1 && leap);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", year, month + 1, day);
    return buf;
}

std::string todayCyyddd() {
    std::time_t now = std::time(nullptr);
    std::tm t{};
    gmtime_r(&now, &t);
    char buf[32];
    int century = t.tm_year / 100;  // years since 1900
    std::snprintf(buf, sizeof buf, "%c%02d%03d", century == 0 ? ' ' : static_cast<char>('0' + (century - 1) % 10),
                  t.tm_year % 100, t.tm_yday + 1);
    return buf;
}

std::string buildVol1(const std::string& volser, const std::string& owner, bool ansi) {
    std::string l(kLabelBytes, ' ');
    put(l, 1, 4, "VOL1");
    put(l, 5, 6, volser);
    if (ansi) {
        put(l, 38, 14, owner);
        put(l, 80, 1, "3");  // label standard version
    } else {
        put(l, 11, 1, "0");  // no volume security
        put(l, 42, 10, owner);
    }
    return finish(l, ansi);
}

std::string buildLabel1(const char* kind, const std::string& dsn, const std::string& volser,
                        long long fileSeq, const std::string& created, long long blocks, bool ansi) {
    std::string l(kLabelBytes, ' ');
    put(l, 1, 4, std::string(kind) + "1");
    put(l, 5, 17, dsn);
    put(l, 22, 6, volser);
    putNumber(l, 28, 4, 1);
    putNumber(l, 32, 4, fileSeq % 10000);
    put(l, 42, 6, created);
    put(l, 48, 6, " 00000");  // no expiration
    put(l, 54, 1, "0");
    putNumber(l, 55, 6, blocks % 1000000);
    if (!ansi) putNumber(l, 77, 4, blocks / 1000000 % 10000);
    return finish(l, ansi);
}

std::string buildLabel2(const char* kind, char recfm, long long blockSize, long long recordLength,
                        char blockAttr, bool ansi) {
    std::string l(kLabelBytes, ' ');
    put(l, 1, 4, std::string(kind) + "2");
    put(l, 5, 1, std::string(1, recfm));
    putNumber(l, 6, 5, blockSize % 100000);
    putNumber(l, 11, 5, recordLength % 100000);
    put(l, 39, 1, std::string(1, blockAttr));
    return finish(l, ansi);
}

}  // namespace orvtool
