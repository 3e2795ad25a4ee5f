// tap.cpp - the tap and e11 formats: a block is its length as a 4-byte
// little-endian word, its data, and the length word again.  tap pads an
// odd-length block with one zero byte, e11 does not.  A zero word is a
// tapemark, 0xFFFFFFFF the end of the medium, 0xFFFFFFFE an erase gap; a
// word with its top bit set flags a block read with an error and keeps
// the length in its low 24 bits.
#include "format.h"

namespace orvtool {

namespace {

constexpr uint32_t kEndOfMedium = 0xFFFFFFFFu;
constexpr uint32_t kEraseGap = 0xFFFFFFFEu;
constexpr uint32_t kErrorFlag = 0x80000000u;
constexpr uint32_t kErrorLengthMask = 0x00FFFFFFu;

uint32_t getWord(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

class TapReader : public FormatReader {
public:
    TapReader(InputFile& in, const FormatArgs& args, bool pad)
        : FormatReader(in, args), pad_(pad) {}

    bool next(Block& b) override {
        if (ended_) return false;
        b = Block{};
        b.offset = in_.offset();
        b.number = number_++;
        unsigned char word[4];
        size_t got = in_.read(word, 4);
        if (got == 0) return false;
        if (got != 4) throw bad(b, "the file ends inside a length word");
        uint32_t w = getWord(word);
        if (w == kEndOfMedium || w == kEraseGap) {
            b.kind = w == kEraseGap ? Kind::Gap : Kind::EndOfMedium;
            ended_ = w == kEndOfMedium;
            return true;
        }
        if (w == 0) {
            b.kind = Kind::Mark;
            return true;
        }
        b.readError = (w & kErrorFlag) != 0;
        size_t len = b.readError ? (w & kErrorLengthMask) : w;
        size_t stored = len + (pad_ ? (len & 1) : 0);
        long long end = b.offset + 8 + static_cast<long long>(stored);
        if (in_.size() >= 0 && end > in_.size())
            throw bad(b, "a record of " + std::to_string(len) + " bytes is longer than the rest of the file");
        if (len > maxBlock_) throw bad(b, longerThanLimit(len, maxBlock_));
        if (in_.readInto(data_, stored) != stored) throw bad(b, "the file ends inside a record");
        if (in_.read(word, 4) != 4) throw bad(b, "the file ends inside a record's closing length word");
        if (getWord(word) != w)
            throw bad(b, "the record's closing length word differs from its opening one" +
                             std::string(len & 1 ? pad_ ? " (if odd lengths are not padded, the file is e11: "
                                                          "name it with --from e11)"
                                                        : " (if odd lengths are padded, the file is tap: "
                                                          "name it with --from tap)"
                                                 : ""));
        b.data = data_.data();
        b.length = len;
        return true;
    }

private:
    ToolError bad(const Block& b, const std::string& what) const { return FormatReader::bad(b.offset, what); }

    bool pad_, ended_ = false;
};

class TapWriter : public BlockSink {
public:
    TapWriter(OutputFile& out, bool pad) : out_(out), pad_(pad) {}

    Carries carries() const override {
        Carries c;
        c.maxBlock = kErrorFlag - 1;
        c.gaps = c.readErrors = c.endOfMedium = true;
        return c;
    }

    void put(const Block& b) override {
        switch (b.kind) {
        case Kind::Mark: return word(0);
        case Kind::Gap: return word(kEraseGap);
        case Kind::EndOfMedium: return word(kEndOfMedium);
        case Kind::Data: break;
        }
        uint32_t w = static_cast<uint32_t>(b.length);
        if (b.readError) {
            if (b.length > kErrorLengthMask)
                throw ToolError("", "a flagged record of " + std::to_string(b.length) +
                                        " bytes is too long for the 24-bit length it needs");
            w |= kErrorFlag;
        }
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
// when pad is set; stop receives where the framing stopped fitting.
bool framedByWords(Probe& in, bool pad, long long& stop) {
    long long at = 0, blocks = 0;
    while (const unsigned char* w = in.at(at, 4)) {
        stop = at;
        uint32_t v = getWord(w);
        if (v == kEndOfMedium) return true;
        if (v == 0 || v == kEraseGap) {
            at += 4;
            ++blocks;
            continue;
        }
        long long len = (v & kErrorFlag) ? (v & kErrorLengthMask) : v;
        long long closing = at + 4 + len + (pad ? (len & 1) : 0);
        const unsigned char* c = in.at(closing, 4);
        if (!c) return !in.complete() && blocks > 0 && closing + 4 > in.end();  // a pipe shows no more
        if (getWord(c) != v) return false;
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

extern const Format kTapFormat{"tap", "4-byte length words around each record, odd lengths padded", bidTap,
                               readTap, writeTap, {}};
extern const Format kE11Format{"e11", "4-byte length words around each record, no padding", bidE11,
                               readE11, writeE11, {}};

}  // namespace orvtool
