// detect.cpp - naming the format of a file from its first bytes.
//
// Each candidate walks the records in a window at the start of the file
// and must find them consistent: 6-byte headers must chain through their
// previous-length field, 4-byte length words must be repeated after the
// data.  tpc carries no such redundancy, so it is only named when its
// records end exactly at the end of a file that fits the window.
#include "records.h"

#include "../orvtape.h"

namespace orvtool {

namespace {

constexpr size_t kWindow = 1u << 20;

struct Window {
    const unsigned char* p;
    size_t n;
    bool whole;  // the window holds the entire input
    const InputBytes& in;
};

unsigned u16(const unsigned char* p) { return p[0] | p[1] << 8; }
uint32_t u32(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// "het", "orv" or "aws" when the window holds chained 6-byte headers.
std::string sixByteChain(const Window& w) {
    size_t at = 0, headers = 0;
    unsigned prev = 0;
    bool inBlock = false, het = false, orv = false;
    while (at + 6 <= w.n) {
        const unsigned char* h = w.p + at;
        unsigned len = u16(h), f1 = h[4], f2 = h[5];
        if (u16(h + 2) != prev || (f1 & 0x1C) || (f2 & 0x7C)) return "";
        het = het || (f1 & 0x03);
        orv = orv || f2;
        if (het && orv) return "";
        if (f1 & 0x40) {
            if (len || inBlock || f1 != 0x40 || f2) return "";
        } else {
            if (len == 0 || inBlock == ((f1 & 0x80) != 0)) return "";
            inBlock = (f1 & 0x20) == 0;
        }
        prev = len;
        at += 6 + len;
        ++headers;
    }
    if (headers == 0 || (w.whole && at != w.n)) return "";
    return het ? "het" : orv ? "orv" : "aws";
}

// True when the window holds records framed by repeated 4-byte lengths.
bool framedByWords(const Window& w, bool pad) {
    size_t at = 0, records = 0;
    while (at + 4 <= w.n) {
        uint32_t v = u32(w.p + at);
        if (v == 0xFFFFFFFFu) return true;  // end of medium
        if (v == 0 || v == 0xFFFFFFFEu) {
            at += 4;
            ++records;
            continue;
        }
        size_t len = (v & 0x80000000u) ? (v & 0x00FFFFFFu) : v;
        size_t closing = at + 4 + len + (pad ? (len & 1) : 0);
        unsigned char word[4];
        if (closing + 4 > w.n) {
            // A record longer than the window: look its closing word up in the file.
            return !w.whole && w.in.readAt(static_cast<long long>(closing), word, 4) &&
                   u32(word) == v;
        }
        if (u32(w.p + closing) != v) return false;
        at = closing + 4;
        ++records;
    }
    return records > 0 && (!w.whole || at == w.n);
}

bool tpcToTheEnd(const Window& w) {
    if (!w.whole) return false;
    size_t at = 0, records = 0;
    while (at + 2 <= w.n) {
        size_t len = u16(w.p + at);
        at += 2 + len + (len & 1);
        ++records;
    }
    return records > 0 && at == w.n;
}

}  // namespace

std::string detectFormat(InputBytes& in) {
    const unsigned char* p = nullptr;
    size_t n = in.peek(kWindow, &p);
    Window w{p, n, n < kWindow || (in.size() >= 0 && static_cast<long long>(n) == in.size()), in};
    std::string six = sixByteChain(w);
    if (!six.empty()) return six;
    bool tap = framedByWords(w, true), e11 = framedByWords(w, false);
    if (tap || e11) return tap ? "tap" : "e11";  // with no odd record both read the same
    return tpcToTheEnd(w) ? "tpc" : "";
}

std::string otherFormatHint(const std::string& path) {
    try {
        InputBytes in(path);
        std::string f = detectFormat(in);
        if (f == "het" || f == "tap" || f == "e11" || f == "tpc")
            return path + " is not an orvtape image but a " + f + " file (" + describeFormat(f) +
                   "); convert it with 'orvtape import " + path + " NEW.tape'";
    } catch (const ToolError&) {
    }
    return "";
}

}  // namespace orvtool
