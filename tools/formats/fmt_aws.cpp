// fmt_aws.cpp - the aws and het formats.  Both cut a block into chunks,
// each behind a 6-byte header laid out like an orvtape segment header:
// chunk length and previous chunk length (16-bit little-endian), then
// flags1 (0x80 first chunk, 0x40 tapemark, 0x20 last chunk) and flags2,
// which is always 0.  het adds compression: the method sits in the low bits
// of flags1 of every chunk (0x01 zlib, 0x02 bzip2); the block is compressed
// as a whole and the result cut into chunks.
#include "codec.h"
#include "families.h"

#include "../orvtape.h"

namespace orvtool {

namespace {

constexpr unsigned kFirst = 0x80, kTapemark = 0x40, kLast = 0x20;
constexpr unsigned kZlib = 0x01, kBzip2 = 0x02, kMethods = kZlib | kBzip2;
constexpr size_t kLongest = 65535;  // the other emulator's largest block

class AwsReader : public RecordReader {
public:
    AwsReader(InputBytes& in, const FormatSettings& s) : in_(in), s_(s) {}

    bool next(Record& r) override {
        r = Record{Record::Data, std::move(r.data)};
        r.offset = in_.offset();
        size_t stored = 0;
        unsigned method = 0;
        // Compressed bytes may exceed the data a little; more is hostile.
        const size_t storedLimit = s_.maxBlock + s_.maxBlock / 8 + 1024;
        for (bool first = true;; first = false) {
            long long at = in_.offset();
            unsigned char h[6];
            size_t got = in_.read(h, 6);
            if (got == 0 && first) return false;
            if (got != 6)
                throw bad(at, got ? "the file ends inside a chunk header"
                                  : "the file ends inside a block");
            unsigned len = h[0] | h[1] << 8, prev = h[2] | h[3] << 8, f1 = h[4];
            if (prev != prevLen_)
                throw bad(at, "the header says the chunk before it holds " +
                                  std::to_string(prev) + " bytes, but it holds " +
                                  std::to_string(prevLen_));
            if (h[5] != 0)
                throw bad(at, "flags2 is " + hexBytes(h + 5, 1) +
                                  ": an orvtape image with transforms, not aws or het "
                                  "(use 'orvtape copy')");
            if (f1 & 0x1C) throw bad(at, "flags1 " + hexBytes(h + 4, 1) + " has unknown bits");
            prevLen_ = len;
            if (f1 & kTapemark) {
                if (!first) throw bad(at, "a tapemark stands inside a block");
                if (f1 != kTapemark || len != 0)
                    throw bad(at, "a tapemark header carries a length or other flags");
                r.kind = Record::Tapemark;
                return true;
            }
            if (first != ((f1 & kFirst) != 0))
                throw bad(at, first ? "a block begins without its first-chunk flag"
                                    : "a new block begins inside a block");
            if ((f1 & kMethods) == kMethods) throw bad(at, "both compression bits are set");
            if (first) method = f1 & kMethods;
            if ((f1 & kMethods) != method)
                throw bad(at, "the chunks of one block differ in compression");
            if (len == 0) throw bad(at, "an empty chunk stands in a block");
            if (stored + len > (method ? storedLimit : s_.maxBlock))
                throw bad(r.offset, "the block is longer than the block limit of " +
                                        std::to_string(s_.maxBlock) + " (--max-block)");
            std::vector<char>& dst = method ? packed_ : r.data;
            if (dst.size() < stored + len) dst.resize(stored + len);
            if (in_.read(dst.data() + stored, len) != len)
                throw bad(at, "the file ends inside a chunk");
            stored += len;
            if (f1 & kLast) break;
        }
        r.length = stored;
        if (method == 0) return true;
        r.packing = method == kZlib ? Packing::Zlib : Packing::Bzip2;
        std::string why = expandBlock(r.packing, packed_.data(), stored, s_.maxBlock, r.data,
                                      &r.length);
        if (!why.empty()) throw bad(r.offset, "the compressed block does not expand: " + why);
        if (r.length == 0) throw bad(r.offset, "the compressed block expands to nothing");
        return true;
    }

    long long consumed() const override { return in_.offset(); }

private:
    ToolError bad(long long at, const std::string& what) const {
        return in_.errorAt(at, what);
    }

    InputBytes& in_;
    FormatSettings s_;
    unsigned prevLen_ = 0;
    std::vector<char> packed_;
};

class AwsWriter : public RecordWriter {
public:
    AwsWriter(OutputBytes& out, const FormatSettings& s, bool het) : out_(out), s_(s), het_(het) {}

    Carries carries() const override {
        Carries c;
        c.maxBlock = kLongest;
        c.compression = het_;
        return c;
    }

    void put(const Record& r) override {
        if (r.kind == Record::Gap || r.kind == Record::EndOfMedium) return;  // the caller reports them
        if (r.kind == Record::Tapemark) return header(0, kTapemark);
        Packing method = het_ ? wanted(r) : Packing::Plain;
        const char* p = r.data.data();
        size_t n = r.length;
        unsigned bits = 0;
        if (method != Packing::Plain && compressBlock(method, s_.level, p, n, packed_)) {
            p = packed_.data();
            n = packed_.size();
            bits = method == Packing::Zlib ? kZlib : kBzip2;
        }
        size_t chunk = static_cast<size_t>(s_.chunk);
        for (size_t done = 0; done < n; done += chunk) {
            size_t len = std::min(chunk, n - done);
            header(static_cast<unsigned>(len), bits | (done == 0 ? kFirst : 0) |
                                                   (done + len == n ? kLast : 0));
            out_.write(p + done, len);
        }
    }

    void finish() override { out_.flush(); }

private:
    Packing wanted(const Record& r) const {
        if (s_.compress == "zlib") return Packing::Zlib;
        if (s_.compress == "bzip2") return Packing::Bzip2;
        if (s_.compress == "none") return Packing::Plain;
        return r.packing;  // keep what the source did
    }

    void header(unsigned len, unsigned f1) {
        unsigned char h[6] = {static_cast<unsigned char>(len), static_cast<unsigned char>(len >> 8),
                              static_cast<unsigned char>(prevLen_),
                              static_cast<unsigned char>(prevLen_ >> 8),
                              static_cast<unsigned char>(f1), 0};
        out_.write(h, 6);
        prevLen_ = len;
    }

    OutputBytes& out_;
    FormatSettings s_;
    bool het_;
    unsigned prevLen_ = 0;
    std::vector<char> packed_;
};

}  // namespace

std::unique_ptr<RecordReader> makeAwsReader(InputBytes& in, const FormatSettings& s) {
    return std::make_unique<AwsReader>(in, s);
}

std::unique_ptr<RecordWriter> makeAwsWriter(OutputBytes& out, const FormatSettings& s, bool het) {
    return std::make_unique<AwsWriter>(out, s, het);
}

}  // namespace orvtool
