// labels.cpp - label blocks by column (1-based, as label layouts are given).
#include "labels.h"

#include <cstdio>
#include <ctime>

namespace orvtool {

namespace {

// Code page 037 to Latin-1; a permutation, so the inverse is built from it.
const unsigned char kToLatin1[256] = {
    0x00,0x01,0x02,0x03,0x9C,0x09,0x86,0x7F,0x97,0x8D,0x8E,0x0B,0x0C,0x0D,0x0E,0x0F,
    0x10,0x11,0x12,0x13,0x9D,0x85,0x08,0x87,0x18,0x19,0x92,0x8F,0x1C,0x1D,0x1E,0x1F,
    0x80,0x81,0x82,0x83,0x84,0x0A,0x17,0x1B,0x88,0x89,0x8A,0x8B,0x8C,0x05,0x06,0x07,
    0x90,0x91,0x16,0x93,0x94,0x95,0x96,0x04,0x98,0x99,0x9A,0x9B,0x14,0x15,0x9E,0x1A,
    0x20,0xA0,0xE2,0xE4,0xE0,0xE1,0xE3,0xE5,0xE7,0xF1,0xA2,0x2E,0x3C,0x28,0x2B,0x7C,
    0x26,0xE9,0xEA,0xEB,0xE8,0xED,0xEE,0xEF,0xEC,0xDF,0x21,0x24,0x2A,0x29,0x3B,0xAC,
    0x2D,0x2F,0xC2,0xC4,0xC0,0xC1,0xC3,0xC5,0xC7,0xD1,0xA6,0x2C,0x25,0x5F,0x3E,0x3F,
    0xF8,0xC9,0xCA,0xCB,0xC8,0xCD,0xCE,0xCF,0xCC,0x60,0x3A,0x23,0x40,0x27,0x3D,0x22,
    0xD8,0x61,0x62,0x63,0x64,0x65,0x66,0x67,0x68,0x69,0xAB,0xBB,0xF0,0xFD,0xFE,0xB1,
    0xB0,0x6A,0x6B,0x6C,0x6D,0x6E,0x6F,0x70,0x71,0x72,0xAA,0xBA,0xE6,0xB8,0xC6,0xA4,
    0xB5,0x7E,0x73,0x74,0x75,0x76,0x77,0x78,0x79,0x7A,0xA1,0xBF,0xD0,0xDD,0xDE,0xAE,
    0x5E,0xA3,0xA5,0xB7,0xA9,0xA7,0xB6,0xBC,0xBD,0xBE,0x5B,0x5D,0xAF,0xA8,0xB4,0xD7,
    0x7B,0x41,0x42,0x43,0x44,0x45,0x46,0x47,0x48,0x49,0xAD,0xF4,0xF6,0xF2,0xF3,0xF5,
    0x7D,0x4A,0x4B,0x4C,0x4D,0x4E,0x4F,0x50,0x51,0x52,0xB9,0xFB,0xFC,0xF9,0xFA,0xFF,
    0x5C,0xF7,0x53,0x54,0x55,0x56,0x57,0x58,0x59,0x5A,0xB2,0xD4,0xD6,0xD2,0xD3,0xD5,
    0x30,0x31,0x32,0x33,0x34,0x35,0x36,0x37,0x38,0x39,0xB3,0xDB,0xDC,0xD9,0xDA,0x9F};

struct Inverse {
    unsigned char t[256];
    Inverse() {
        for (int i = 0; i < 256; ++i) t[kToLatin1[i]] = static_cast<unsigned char>(i);
    }
};
const Inverse kToEbcdic;

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

unsigned char ebcdicToLatin1(unsigned char c) { return kToLatin1[c]; }
unsigned char latin1ToEbcdic(unsigned char c) { return kToEbcdic.t[c]; }

std::string toLatin1(const std::string& s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(kToLatin1[static_cast<unsigned char>(c)]);
    return out;
}

std::string toEbcdic(const std::string& s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(kToEbcdic.t[static_cast<unsigned char>(c)]);
    return out;
}

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
