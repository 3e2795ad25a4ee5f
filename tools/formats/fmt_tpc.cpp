// fmt_tpc.cpp - the tpc format: a record is its length as a 2-byte
// little-endian word and its data, padded to an even length; a zero
// length is a tapemark.
#include "families.h"

#include "../orvtape.h"

namespace orvtool {

namespace {

constexpr size_t kLongest = 65535;

class TpcReader : public RecordReader {
public:
    TpcReader(InputBytes& in, const FormatSettings& s) : in_(in), maxBlock_(s.maxBlock) {}

    bool next(Record& r) override {
        r = Record{Record::Data, std::move(r.data)};
        r.offset = in_.offset();
        unsigned char w[2];
        size_t got = in_.read(w, 2);
        if (got == 0) return false;
        if (got != 2) throw bad(r, "the file ends inside a length word");
        size_t len = w[0] | w[1] << 8;
        if (len == 0) {
            r.kind = Record::Tapemark;
            return true;
        }
        if (len > maxBlock_)
            throw bad(r, longerThanLimit(len, maxBlock_));
        size_t stored = len + (len & 1);
        if (in_.readInto(r.data, stored) != stored) throw bad(r, "the file ends inside a record");
        r.length = len;
        return true;
    }

    long long consumed() const override { return in_.offset(); }

private:
    ToolError bad(const Record& r, const std::string& what) const {
        return in_.errorAt(r.offset, what);
    }

    InputBytes& in_;
    size_t maxBlock_;
};

class TpcWriter : public RecordWriter {
public:
    explicit TpcWriter(OutputBytes& out) : out_(out) {}

    Carries carries() const override {
        Carries c;
        c.maxBlock = kLongest;
        return c;
    }

    void put(const Record& r) override {
        if (r.kind == Record::Gap || r.kind == Record::EndOfMedium) return;  // the caller reports them
        size_t len = r.kind == Record::Data ? r.length : 0;
        unsigned char w[2] = {static_cast<unsigned char>(len), static_cast<unsigned char>(len >> 8)};
        out_.write(w, 2);
        if (len == 0) return;
        out_.write(r.data.data(), len);
        if (len & 1) out_.write("", 1);
    }

    void finish() override { out_.flush(); }

private:
    OutputBytes& out_;
};

}  // namespace

std::unique_ptr<RecordReader> makeTpcReader(InputBytes& in, const FormatSettings& s) {
    return std::make_unique<TpcReader>(in, s);
}

std::unique_ptr<RecordWriter> makeTpcWriter(OutputBytes& out) {
    return std::make_unique<TpcWriter>(out);
}

}  // namespace orvtool
