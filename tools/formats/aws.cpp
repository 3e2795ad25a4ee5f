// aws.cpp - the aws and het formats.  Both cut a block into chunks, each
// behind a 6-byte header: chunk length and previous chunk length (16-bit
// little-endian), then flags1 (0x80 first chunk, 0x40 tapemark, 0x20 last
// chunk) and flags2, which is always 0.  het adds compression: the method
// sits in the low bits of flags1 of every chunk (0x01 zlib, 0x02 bzip2);
// the block is compressed as a whole and the result cut into chunks.
#include "format.h"
#include "zcodec.h"

#include <algorithm>
#include <cstdio>

namespace orvtool {

namespace {

constexpr unsigned kFirst = 0x80, kTapemark = 0x40, kLast = 0x20, kUnknown = 0x1C;
constexpr unsigned kZlib = 0x01, kBzip2 = 0x02, kMethods = kZlib | kBzip2;
constexpr size_t kLongest = 65535;  // the other emulator's largest block

unsigned u16(const unsigned char* p) { return p[0] | p[1] << 8; }

std::string hexByte(unsigned v) {
    char s[4];
    std::snprintf(s, sizeof s, "%02x", v & 0xFF);
    return s;
}

class AwsReader : public FormatReader {
public:
    AwsReader(InputFile& in, const FormatArgs& args) : FormatReader(in, args), alone_(args.alone) {}

    bool next(Block& b) override {
        b = Block{};
        b.offset = in_.offset();
        b.number = number_++;
        size_t stored = 0;
        unsigned method = 0;
        // Compressed bytes may exceed the data a little; more is hostile.
        const size_t storedLimit = maxBlock_ + maxBlock_ / 8 + 1024;
        for (bool first = true;; first = false) {
            long long at = in_.offset();
            unsigned char h[6];
            size_t got = in_.read(h, 6);
            if (got == 0 && first) return false;
            if (got != 6) throw bad(at, got ? "the file ends inside a chunk header" : "the file ends inside a block");
            unsigned len = u16(h), prev = u16(h + 2), f1 = h[4];
            if (prev != prevLen_ && !alone_)
                throw bad(at, "the header says the chunk before it holds " + std::to_string(prev) +
                                  " bytes, but it holds " + std::to_string(prevLen_));
            if (h[5] != 0)
                throw bad(at, "flags2 is " + hexByte(h[5]) +
                                  ": an orvtape image with transforms, not aws or het (use 'orvtape copy')");
            if (f1 & kUnknown) throw bad(at, "flags1 " + hexByte(f1) + " has unknown bits");
            prevLen_ = len;
            alone_ = false;
            if (f1 & kTapemark) {
                if (!first) throw bad(at, "a tapemark stands inside a block");
                if (f1 != kTapemark || len != 0) throw bad(at, "a tapemark header carries a length or other flags");
                b.kind = Kind::Mark;
                return true;
            }
            if (first != ((f1 & kFirst) != 0))
                throw bad(at, first ? "a block begins without its first-chunk flag" : "a new block begins inside a block");
            if ((f1 & kMethods) == kMethods) throw bad(at, "both compression bits are set");
            if (first) method = f1 & kMethods;
            if ((f1 & kMethods) != method) throw bad(at, "the chunks of one block differ in compression");
            if (len == 0) throw bad(at, "an empty chunk stands in a block");
            if (stored + len > (method ? storedLimit : maxBlock_))
                throw bad(b.offset, "the block is longer than the block limit of " + std::to_string(maxBlock_) +
                                        " (--max-block)");
            std::vector<unsigned char>& dst = method ? packed_ : data_;
            if (dst.size() < stored + len) dst.resize(stored + len);
            if (in_.read(dst.data() + stored, len) != len) throw bad(at, "the file ends inside a chunk");
            stored += len;
            if (f1 & kLast) break;
        }
        b.data = data_.data();
        b.length = stored;
        if (method == 0) {
            if (b.length + 6 == static_cast<size_t>(in_.offset() - b.offset)) b.dataAt = 6;  // one chunk
            return true;
        }
        b.packing = method == kZlib ? Packing::Zlib : Packing::Bzip2;
        std::string why = expandBlock(b.packing, packed_.data(), stored, maxBlock_, data_, &b.length);
        if (!why.empty()) throw bad(b.offset, "the compressed block does not expand: " + why);
        if (b.length == 0) throw bad(b.offset, "the compressed block expands to nothing");
        b.data = data_.data();
        return true;
    }

private:
    bool alone_;
    unsigned prevLen_ = 0;
    std::vector<unsigned char> packed_;
};

class AwsWriter : public BlockSink {
public:
    AwsWriter(OutputFile& out, const FormatArgs& args, bool het)
        : out_(out), chunk_(static_cast<size_t>(std::max(1, args.chunk))), level_(het ? args.level : 0),
          compress_(het ? args.compress : "none"), het_(het) {}

    Carries carries() const override {
        Carries c;
        c.maxBlock = kLongest;
        c.compression = het_;
        return c;
    }

    void put(const Block& b) override {
        if (b.kind != Kind::Data && b.kind != Kind::Mark) return;  // the pump reports them
        if (b.kind == Kind::Mark) return header(0, kTapemark);
        Packing method = wanted(b);
        const unsigned char* p = b.data;
        size_t n = b.length;
        unsigned bits = 0;
        if (method != Packing::None && compressBlock(method, level_, p, n, packed_)) {
            p = packed_.data();
            n = packed_.size();
            bits = method == Packing::Zlib ? kZlib : kBzip2;
        }
        for (size_t done = 0; done < n; done += chunk_) {
            size_t len = std::min(chunk_, n - done);
            header(static_cast<unsigned>(len), bits | (done == 0 ? kFirst : 0) | (done + len == n ? kLast : 0));
            out_.write(p + done, len);
        }
    }

    void finish() override { out_.flush(); }

private:
    Packing wanted(const Block& b) const {
        if (compress_ == "zlib") return Packing::Zlib;
        if (compress_ == "bzip2") return Packing::Bzip2;
        if (compress_ == "none") return Packing::None;
        return b.packing;  // keep what the source did
    }

    void header(unsigned len, unsigned f1) {
        unsigned char h[6] = {static_cast<unsigned char>(len), static_cast<unsigned char>(len >> 8),
                              static_cast<unsigned char>(prevLen_), static_cast<unsigned char>(prevLen_ >> 8),
                              static_cast<unsigned char>(f1), 0};
        out_.write(h, 6);
        prevLen_ = len;
    }

    OutputFile& out_;
    size_t chunk_;
    int level_;
    std::string compress_;
    bool het_;
    unsigned prevLen_ = 0;
    std::vector<unsigned char> packed_;
};

enum class Chain { None, Aws, Het, Transformed };

// What the file's chained 6-byte headers make it; stop receives where the
// chain stopped fitting.  Headers with transform bits in flags2 are walked
// too, so that stop is the same whichever of the tool's formats it is.
Chain walkChain(Probe& in, long long& stop) {
    long long at = 0, headers = 0;
    unsigned prev = 0;
    bool inBlock = false, het = false, transformed = false;
    while (const unsigned char* h = in.at(at, 6)) {
        stop = at;
        unsigned len = u16(h), f1 = h[4], f2 = h[5];
        if (u16(h + 2) != prev || (f1 & kUnknown) || (f2 & 0x7C)) return Chain::None;
        het = het || (f1 & kMethods);
        transformed = transformed || f2;
        if (het && transformed) return Chain::None;
        if (f1 & kTapemark) {
            if (len || inBlock || f1 != kTapemark || f2) return Chain::None;
        } else {
            if (len == 0 || inBlock == ((f1 & kFirst) != 0)) return Chain::None;
            inBlock = (f1 & kLast) == 0;
        }
        prev = len;
        at += 6 + len;
        ++headers;
    }
    stop = at;
    if (headers == 0 || (in.complete() && at != in.end())) return Chain::None;
    return het ? Chain::Het : transformed ? Chain::Transformed : Chain::Aws;
}

// The chain walk, once for both bidders: the outcome kept as stop * 4 + chain.
Chain sixByteChain(Probe& in, long long& stop) {
    const long long* seen = in.recall(reinterpret_cast<const void*>(&walkChain));
    if (!seen) {
        const Chain c = walkChain(in, stop);
        in.remember(reinterpret_cast<const void*>(&walkChain), stop * 4 + static_cast<int>(c));
        return c;
    }
    stop = *seen / 4;
    return static_cast<Chain>(*seen % 4);
}

int bidAws(Probe& in, int best, std::string* misfit) {
    long long stop = 0;
    if (best >= 50) return 0;
    const Chain c = sixByteChain(in, stop);
    if (c == Chain::Aws) return 50;
    if (misfit && c == Chain::None)
        *misfit = "the 6-byte headers of aws, het and orv break at offset " + std::to_string(stop);
    return 0;
}

// het's misfit is aws's: one chain walk judges both.
int bidHet(Probe& in, int best, std::string*) {
    long long stop = 0;
    return best < 60 && sixByteChain(in, stop) == Chain::Het ? 60 : 0;
}

std::unique_ptr<BlockSource> readAws(InputFile& in, const FormatArgs& a) { return std::make_unique<AwsReader>(in, a); }
std::unique_ptr<BlockSink> writeAws(OutputFile& out, const FormatArgs& a) { return std::make_unique<AwsWriter>(out, a, false); }
std::unique_ptr<BlockSink> writeHet(OutputFile& out, const FormatArgs& a) { return std::make_unique<AwsWriter>(out, a, true); }

}  // namespace

extern const Format kAwsFormat{"aws", "AWS", "6-byte chunk headers, no compression", bidAws, readAws, writeAws, {"chunk"}};
extern const Format kHetFormat{"het", "HET", "6-byte chunk headers with zlib or bzip2 compressed blocks", bidHet, readAws,
                               writeHet, {"chunk", "compress", "level"}};

}  // namespace orvtool
