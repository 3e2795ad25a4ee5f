// fmt_tap.cpp - the tap and e11 formats: a record is its length as a
// 4-byte little-endian word, its data, and the length word again.  tap pads
// an odd-length record with one zero byte, e11 does not.  A zero word is a
// tapemark, 0xFFFFFFFF the end of the medium, 0xFFFFFFFE an erase gap; a
// word with its top bit set flags a record read with an error and keeps
// the length in its low 24 bits.
#include "families.h"

#include "../orvtape.h"

namespace orvtool {

namespace {

constexpr uint32_t kEndOfMedium = 0xFFFFFFFFu;
constexpr uint32_t kEraseGap = 0xFFFFFFFEu;
constexpr uint32_t kErrorFlag = 0x80000000u;
constexpr uint32_t kErrorLengthMask = 0x00FFFFFFu;

uint32_t getWord(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

class TapReader : public RecordReader {
public:
    TapReader(InputBytes& in, const FormatSettings& s, bool pad) : in_(in), s_(s), pad_(pad) {}

    bool next(Record& r) override {
        if (ended_) return false;
        r = Record{Record::Data, std::move(r.data)};
        r.offset = in_.offset();
        unsigned char word[4];
        size_t got = in_.read(word, 4);
        if (got == 0) return false;
        if (got != 4) throw bad(r, "the file ends inside a length word");
        uint32_t w = getWord(word);
        if (w == kEndOfMedium || w == kEraseGap) {
            r.kind = w == kEraseGap ? Record::Gap : Record::EndOfMedium;
            ended_ = w == kEndOfMedium;
            return true;
        }
        if (w == 0) {
            r.kind = Record::Tapemark;
            return true;
        }
        r.readError = (w & kErrorFlag) != 0;
        size_t len = r.readError ? (w & kErrorLengthMask) : w;
        size_t stored = len + (pad_ ? (len & 1) : 0);
        long long end = r.offset + 8 + static_cast<long long>(stored);
        if (in_.size() >= 0 && end > in_.size())
            throw bad(r, "a record of " + std::to_string(len) +
                             " bytes is longer than the rest of the file");
        if (len > s_.maxBlock)
            throw bad(r, longerThanLimit(len, s_.maxBlock));
        if (in_.readInto(r.data, stored) != stored) throw bad(r, "the file ends inside a record");
        if (in_.read(word, 4) != 4)
            throw bad(r, "the file ends inside a record's closing length word");
        if (getWord(word) != w)
            throw bad(r, "the record's closing length word differs from its opening one" +
                             std::string(len & 1 ? pad_ ? " (if odd lengths are not padded, the file is e11: "
                                                          "name it with --from e11)"
                                                        : " (if odd lengths are padded, the file is tap: "
                                                          "name it with --from tap)"
                                                 : ""));
        r.length = len;
        return true;
    }

    long long consumed() const override { return in_.offset(); }

private:
    ToolError bad(const Record& r, const std::string& what) const {
        return in_.errorAt(r.offset, what);
    }

    InputBytes& in_;
    FormatSettings s_;
    bool pad_, ended_ = false;
};

class TapWriter : public RecordWriter {
public:
    TapWriter(OutputBytes& out, bool pad) : out_(out), pad_(pad) {}

    Carries carries() const override {
        Carries c;
        c.maxBlock = kErrorFlag - 1;
        c.gaps = c.readErrors = c.endOfMedium = true;
        return c;
    }

    void put(const Record& r) override {
        switch (r.kind) {
        case Record::Tapemark: return word(0);
        case Record::Gap: return word(kEraseGap);
        case Record::EndOfMedium: return word(kEndOfMedium);
        case Record::Data: break;
        }
        uint32_t w = static_cast<uint32_t>(r.length);
        if (r.readError) {
            if (r.length > kErrorLengthMask)
                throw ToolError("", "a flagged record of " + std::to_string(r.length) +
                                        " bytes is too long for the 24-bit length it needs");
            w |= kErrorFlag;
        }
        word(w);
        out_.write(r.data.data(), r.length);
        if (pad_ && (r.length & 1)) out_.write("", 1);
        word(w);
    }

    void finish() override { out_.flush(); }

private:
    void word(uint32_t w) {
        unsigned char p[4] = {static_cast<unsigned char>(w), static_cast<unsigned char>(w >> 8),
                              static_cast<unsigned char>(w >> 16),
                              static_cast<unsigned char>(w >> 24)};
        out_.write(p, 4);
    }

    OutputBytes& out_;
    bool pad_;
};

}  // namespace

std::unique_ptr<RecordReader> makeTapReader(InputBytes& in, const FormatSettings& s, bool pad) {
    return std::make_unique<TapReader>(in, s, pad);
}

std::unique_ptr<RecordWriter> makeTapWriter(OutputBytes& out, bool pad) {
    return std::make_unique<TapWriter>(out, pad);
}

}  // namespace orvtool
