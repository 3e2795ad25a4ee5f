// tap.cpp - the tap and e11 formats: a record is a 4-byte little-endian
// word, its data, and the word again.  tap pads odd-length data with one
// zero byte, e11 does not.  The top four bits of a word are its class: 0 a
// good record, 8 a bad one (its data in doubt), 1 to 6 private records, 7 a
// private marker (a lone word, its value in the low bits), 14 a description
// of the tape; the rest are reserved.  A record's length is the low 28 bits.
// Some words of the reserved class 15 are marks: 0 (class 0, no length) a
// tapemark, 0xFFFFFFFF the end of the medium, 0xFFFFFFFE an erase gap, and
// 0xFFFEFFFF or 0xFFFF0000 to 0xFFFFFFFD a half-gap, after which the next
// word starts two bytes on.
//
// e11 reads and writes the same classes and marks: its files come from the
// same family, and a plain record reaches the class bits only beyond 256
// MiB, so the one difference kept is the padding.
#include "format.h"

#include <cstring>

namespace orvtool {

namespace {

constexpr uint32_t kEndOfMedium = 0xFFFFFFFFu;
constexpr uint32_t kEraseGap = 0xFFFFFFFEu;
constexpr uint32_t kHalfGap = 0xFFFEFFFFu;
constexpr uint32_t kHalfGapsFrom = 0xFFFF0000u;
constexpr uint32_t kLengthMask = 0x0FFFFFFFu;
constexpr unsigned kMarkerClass = 7;

uint32_t getWord(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// What one word says, before anything follows it.
struct Word {
    enum What { Record, Tapemark, Gap, HalfGap, End, Marker } what;
    unsigned recordClass;  // of a record
    uint32_t low;          // a record's length, a marker's value
};

Word classify(uint32_t w) {
    if (w == 0) return {Word::Tapemark, 0, 0};
    if (w == kEndOfMedium) return {Word::End, 0, 0};
    if (w == kEraseGap) return {Word::Gap, 0, 0};
    if (w == kHalfGap || w >= kHalfGapsFrom) return {Word::HalfGap, 0, 0};
    const unsigned cls = w >> 28;
    return {cls == kMarkerClass ? Word::Marker : Word::Record, cls, w & kLengthMask};
}

class TapReader : public FormatReader {
public:
    TapReader(InputFile& in, const FormatArgs& args, bool pad)
        : FormatReader(in, args), pad_(pad) {}

    bool next(Block& b) override {
        if (ended_) return false;
        b = Block{};
        b.offset = in_.offset();
        const unsigned char* p = nullptr;
        size_t got = in_.peek(4, &p);
        if (got == 0) return false;
        if (got != 4) throw bad(b, "the file ends inside a length word");
        const uint32_t w = getWord(p);
        const Word word = classify(w);
        skip(word.what == Word::HalfGap ? 2 : 4);
        switch (word.what) {
        case Word::HalfGap:
        case Word::Gap: b.kind = Kind::Gap; return true;
        case Word::End: ended_ = true; b.kind = Kind::EndOfMedium; return true;
        case Word::Tapemark: b.kind = Kind::Mark; break;
        case Word::Marker:
            b.kind = Kind::Marker;
            b.value = word.low;
            break;
        case Word::Record: record(b, w, word); break;
        }
        b.number = number_++;
        return true;
    }

private:
    FormatError bad(const Block& b, const std::string& what) const { return FormatReader::bad(b.offset, what); }

    void skip(size_t n) {
        unsigned char sink[4];
        in_.read(sink, n);
    }

    void record(Block& b, uint32_t w, const Word& word) {
        b.recordClass = static_cast<unsigned char>(word.recordClass);
        b.readError = b.recordClass == record_class::kBad;
        const size_t len = word.low;
        const size_t stored = len + (pad_ ? (len & 1) : 0);
        const long long end = b.offset + 8 + static_cast<long long>(stored);
        if (in_.size() >= 0 && end > in_.size())
            throw bad(b, "a record of " + std::to_string(len) + " bytes is longer than the rest of the file");
        if (len > maxBlock_) throw bad(b, longerThanLimit(len, maxBlock_));
        // A record that fits the input's buffer, its closing word with it,
        // is handed out where it lies there: no copy.
        const unsigned char* data = nullptr;
        unsigned char closing[4];
        if (in_.peek(stored + 4, &data) == stored + 4) {
            std::memcpy(closing, data + stored, 4);
            in_.advance(stored + 4);
        } else {
            if (in_.readInto(data_, stored) != stored) throw bad(b, "the file ends inside a record");
            if (in_.read(closing, 4) != 4) throw bad(b, "the file ends inside a record's closing length word");
            data = data_.data();
        }
        if (getWord(closing) != w)
            throw bad(b, "the record's closing length word differs from its opening one" +
                             std::string(len & 1 ? pad_ ? " (if odd lengths are not padded, the file is e11: "
                                                          "name it with --from e11)"
                                                        : " (if odd lengths are padded, the file is tap: "
                                                          "name it with --from tap)"
                                                 : ""));
        b.data = data;
        b.length = len;
        b.dataAt = 4;
    }

    bool pad_, ended_ = false;
};

class TapWriter : public BlockSink {
public:
    TapWriter(OutputFile& out, bool pad) : out_(out), pad_(pad) {}

    Carries carries() const override {
        Carries c;
        c.maxBlock = kLengthMask;
        c.gaps = c.readErrors = c.endOfMedium = true;
        c.privateRecords = c.descriptions = c.markers = true;
        return c;
    }

    void put(const Block& b) override {
        switch (b.kind) {
        case Kind::Mark: return word(0);
        case Kind::Gap: return word(kEraseGap);
        case Kind::EndOfMedium: return word(kEndOfMedium);
        case Kind::Marker: return word(kMarkerClass << 28 | (b.value & kLengthMask));
        case Kind::Data: break;
        }
        if (b.length > kLengthMask)
            throw ToolError("", "a record of " + std::to_string(b.length) + " bytes is too long for tap's 28-bit length");
        const unsigned cls = b.readError && b.recordClass == record_class::kGood ? record_class::kBad : b.recordClass;
        const uint32_t w = static_cast<uint32_t>(cls & 15) << 28 | static_cast<uint32_t>(b.length);
        word(w);
        out_.write(b.data, b.length);
        if (pad_ && (b.length & 1)) out_.write("", 1);
        word(w);
    }

    void finish() override { out_.flush(); }

private:
    void word(uint32_t w) {
        unsigned char p[4] = {static_cast<unsigned char>(w), static_cast<unsigned char>(w >> 8),
                              static_cast<unsigned char>(w >> 16), static_cast<unsigned char>(w >> 24)};
        out_.write(p, 4);
    }

    OutputFile& out_;
    bool pad_;
};

// The blocks must be framed by repeated length words, odd lengths padded
// when pad is set; stop receives where the framing stopped fitting.  A
// marker or half-gap is believed only after a framed record: most words of
// text have the marker's class.
bool framedByWords(Probe& in, bool pad, long long& stop) {
    long long at = 0, blocks = 0;
    bool framed = false;
    while (const unsigned char* w = in.at(at, 4)) {
        stop = at;
        const uint32_t v = getWord(w);
        const Word word = classify(v);
        if (word.what == Word::End) return true;
        if ((word.what == Word::Marker || word.what == Word::HalfGap) && !framed) return false;
        if (word.what != Word::Record) {
            at += word.what == Word::HalfGap ? 2 : 4;
            ++blocks;
            continue;
        }
        const long long len = word.low;
        const long long closing = at + 4 + len + (pad ? (len & 1) : 0);
        const unsigned char* c = in.at(closing, 4);
        if (!c) return !in.complete() && blocks > 0 && closing + 4 > in.end();  // a pipe shows no more
        if (getWord(c) != v) return false;
        framed = true;
        at = closing + 4;
        ++blocks;
    }
    stop = at;
    return blocks > 0 && (!in.complete() || at == in.end());
}

// With no odd-length block both read the same: tap, then.
int bidTap(Probe& in, int best, std::string* misfit) {
    long long stop = 0;
    if (best >= 30) return 0;
    if (framedByWords(in, true, stop)) return 30;
    if (misfit) *misfit = "the length words of tap at offset " + std::to_string(stop);
    return 0;
}

int bidE11(Probe& in, int best, std::string* misfit) {
    long long stop = 0;
    if (best >= 20) return 0;
    if (framedByWords(in, false, stop)) return 20;
    if (misfit) *misfit = " and of e11 at offset " + std::to_string(stop);
    return 0;
}

std::unique_ptr<BlockSource> readTap(InputFile& in, const FormatArgs& a) { return std::make_unique<TapReader>(in, a, true); }
std::unique_ptr<BlockSource> readE11(InputFile& in, const FormatArgs& a) { return std::make_unique<TapReader>(in, a, false); }
std::unique_ptr<BlockSink> writeTap(OutputFile& out, const FormatArgs&) { return std::make_unique<TapWriter>(out, true); }
std::unique_ptr<BlockSink> writeE11(OutputFile& out, const FormatArgs&) { return std::make_unique<TapWriter>(out, false); }

}  // namespace

extern const Format kTapFormat{"tap", "SIMH .tap", "4-byte length words around each record, odd lengths padded", bidTap,
                               readTap, writeTap, {}};
extern const Format kE11Format{"e11", "E11", "4-byte length words around each record, no padding", bidE11,
                               readE11, writeE11, {}};

}  // namespace orvtool
