// tpc.cpp - the tpc format: a block is its length as a 2-byte little-endian
// word and its data, padded to an even length; a zero length is a tapemark.
#include "format.h"

namespace orvtool {

namespace {

constexpr size_t kLongest = 65535;

class TpcReader : public FormatReader {
public:
    TpcReader(InputFile& in, const FormatArgs& args) : FormatReader(in, args) {}

    bool next(Block& b) override {
        b = Block{};
        b.offset = in_.offset();
        b.number = number_++;
        unsigned char w[2];
        size_t got = in_.read(w, 2);
        if (got == 0) return false;
        if (got != 2) throw bad(b, "the file ends inside a length word");
        size_t len = w[0] | w[1] << 8;
        if (len == 0) {
            b.kind = Kind::Mark;
            return true;
        }
        if (len > maxBlock_) throw bad(b, longerThanLimit(len, maxBlock_));
        size_t stored = len + (len & 1);
        if (in_.readInto(data_, stored) != stored) throw bad(b, "the file ends inside a record");
        b.data = data_.data();
        b.length = len;
        b.dataAt = 2;
        return true;
    }

private:
    FormatError bad(const Block& b, const std::string& what) const { return FormatReader::bad(b.offset, what); }
};

class TpcWriter : public BlockSink {
public:
    explicit TpcWriter(OutputFile& out) : out_(out) {}

    Carries carries() const override {
        Carries c;
        c.maxBlock = kLongest;
        return c;
    }

    void put(const Block& b) override {
        if (b.kind != Kind::Data && b.kind != Kind::Mark) return;  // the pump reports them
        size_t len = b.kind == Kind::Data ? b.length : 0;
        unsigned char w[2] = {static_cast<unsigned char>(len), static_cast<unsigned char>(len >> 8)};
        out_.write(w, 2);
        if (len == 0) return;
        out_.write(b.data, len);
        if (len & 1) out_.write("", 1);
    }

    void finish() override { out_.flush(); }

private:
    OutputFile& out_;
};

// tpc carries no redundancy, so it is named only for a file whose blocks
// end exactly where it ends.
int bidTpc(Probe& in, int best, std::string* misfit) {
    if (best >= 10) return 0;
    if (!in.complete()) {
        if (misfit) *misfit = "tpc is named only for a file that can be seen whole";
        return 0;
    }
    long long at = 0, blocks = 0;
    while (const unsigned char* w = in.at(at, 2)) {
        long long len = w[0] | w[1] << 8;
        at += 2 + len + (len & 1);
        ++blocks;
    }
    if (blocks > 0 && at == in.end()) return 10;
    if (misfit) *misfit = "tpc's records run to offset " + std::to_string(at) + ", not to the end of the file";
    return 0;
}

std::unique_ptr<BlockSource> readTpc(InputFile& in, const FormatArgs& a) { return std::make_unique<TpcReader>(in, a); }
std::unique_ptr<BlockSink> writeTpc(OutputFile& out, const FormatArgs&) { return std::make_unique<TpcWriter>(out); }

}  // namespace

extern const Format kTpcFormat{"tpc", "TPC", "a 2-byte length word before each record", bidTpc, readTpc, writeTpc, {}};

}  // namespace orvtool
