// detect.cpp - naming the format of a file from its records.
//
// Each candidate walks the record chain of the whole file and must find it
// consistent: 6-byte headers must chain through their previous-length field,
// 4-byte length words must be repeated after the data, and the records must
// end where the file ends.  The walk reads only the words it needs, so a
// large file costs a short read per record, not the file.  tpc carries no
// redundancy, so it is only named when its records end exactly at the end
// of the file.  Of a pipe only the first MiB is seen.
#include "records.h"

#include "../orvtape.h"

#include <algorithm>

namespace orvtool {

namespace {

constexpr size_t kWindow = 1u << 20;  // what is seen of a pipe
constexpr size_t kRead = 4096;        // read at a time beyond it, in a regular file

unsigned u16(const unsigned char* p) { return p[0] | p[1] << 8; }
uint32_t u32(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The input's bytes at any offset, without consuming them: the first window
// from the input's own buffer, the rest of a regular file through short
// reads of its own.
class Probe {
public:
    explicit Probe(InputBytes& in) : in_(in) {
        n_ = in.peek(kWindow, &window_);
        complete_ = in.size() >= 0 || n_ < kWindow;
        end_ = in.size() >= 0 ? in.size() : static_cast<long long>(n_);
    }
    // Where the bytes seen end; complete: that is where the input ends.
    long long end() const { return end_; }
    bool complete() const { return complete_; }
    // n bytes (at most kRead) at offset, or null where they cannot be seen.
    const unsigned char* at(long long offset, size_t n) {
        if (offset < 0 || offset + static_cast<long long>(n) > end_) return nullptr;
        if (offset + static_cast<long long>(n) <= static_cast<long long>(n_)) return window_ + offset;
        if (offset < cacheAt_ || offset + static_cast<long long>(n) > cacheAt_ + cacheN_) {
            const size_t want = static_cast<size_t>(std::min<long long>(kRead, end_ - offset));
            if (!in_.readAt(offset, cache_, want)) return nullptr;
            cacheAt_ = offset;
            cacheN_ = static_cast<long long>(want);
        }
        return cache_ + (offset - cacheAt_);
    }

private:
    InputBytes& in_;
    const unsigned char* window_ = nullptr;
    size_t n_ = 0;
    long long end_ = 0, cacheAt_ = 0, cacheN_ = 0;
    bool complete_ = false;
    unsigned char cache_[kRead];
};

// "het", "orv" or "aws" when the file holds chained 6-byte headers; stop
// receives where the chain stopped fitting.
std::string sixByteChain(Probe& in, long long& stop) {
    long long at = 0, headers = 0;
    unsigned prev = 0;
    bool inBlock = false, het = false, orv = false;
    while (const unsigned char* h = in.at(at, 6)) {
        stop = at;
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
    stop = at;
    if (headers == 0 || (in.complete() && at != in.end())) return "";
    return het ? "het" : orv ? "orv" : "aws";
}

// True when the file holds records framed by repeated 4-byte lengths, odd
// ones padded when pad is set; stop receives where the framing stopped fitting.
bool framedByWords(Probe& in, bool pad, long long& stop) {
    long long at = 0, records = 0;
    while (const unsigned char* w = in.at(at, 4)) {
        stop = at;
        uint32_t v = u32(w);
        if (v == 0xFFFFFFFFu) return true;  // end of medium
        if (v == 0 || v == 0xFFFFFFFEu) {
            at += 4;
            ++records;
            continue;
        }
        long long len = (v & 0x80000000u) ? (v & 0x00FFFFFFu) : v;
        long long closing = at + 4 + len + (pad ? (len & 1) : 0);
        const unsigned char* c = in.at(closing, 4);
        if (!c) return !in.complete() && records > 0 && closing + 4 > in.end();  // a pipe shows no more
        if (u32(c) != v) return false;
        at = closing + 4;
        ++records;
    }
    stop = at;
    return records > 0 && (!in.complete() || at == in.end());
}

bool tpcToTheEnd(Probe& in, long long& stop) {
    if (!in.complete()) return false;
    long long at = 0, records = 0;
    while (const unsigned char* w = in.at(at, 2)) {
        long long len = u16(w);
        at += 2 + len + (len & 1);
        ++records;
    }
    stop = at;
    return records > 0 && at == in.end();
}

}  // namespace

std::string detectFormat(InputBytes& input, std::string* considered) {
    Probe in(input);
    long long six = 0, tap = 0, e11 = 0, tpc = 0;
    std::string name = sixByteChain(in, six);
    if (!name.empty()) return name;
    // With no odd-length record both read the same: tap, then.
    if (framedByWords(in, true, tap)) return "tap";
    if (framedByWords(in, false, e11)) return "e11";
    if (tpcToTheEnd(in, tpc)) return "tpc";
    if (considered) {
        auto off = [](long long at) { return std::to_string(at); };
        *considered = "the 6-byte headers of aws, het and orv break at offset " + off(six) +
                      ", the length words of tap at offset " + off(tap) + " and of e11 at offset " +
                      off(e11) + ", " +
                      (in.complete() ? "tpc's records run to offset " + off(tpc) + ", not to the end of the file"
                                     : "tpc is named only for a file that can be seen whole");
    }
    return "";
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
