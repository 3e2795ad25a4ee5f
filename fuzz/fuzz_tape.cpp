// The tape engine under libFuzzer.  Input: a 16-bit little-endian length N, N
// image bytes (fewer if the input ends early), then opcode/argument byte pairs.
// Every image is validated and read to its end and back before the script runs.
#include "ORVtape.h"
#include "orvTapeStream.h"
#include "support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

using testsupport::Bytes;

#define CHECK(c) ((c) ? void() : (std::fprintf(stderr, "oracle failure, line %d: %s\n", __LINE__, #c), std::abort()))

// A memfd that the library reopens through /proc: real descriptors, no disk.
const int memFd = memfd_create("orvfuzz", 0);
const std::string memPath = "/proc/self/fd/" + std::to_string(memFd);
Bytes contents() {
    Bytes out(static_cast<std::size_t>(lseek(memFd, 0, SEEK_END)));
    return CHECK(pread(memFd, out.data(), out.size(), 0) == static_cast<ssize_t>(out.size())), out;
}

bool uniform(const unsigned char* p, std::size_t n, int v) { return !n || (*p == v && !std::memcmp(p, p + 1, n - 1)); }

// A pre-filled caller buffer between guard zones, which see bzip2's writes too.
struct Fenced {
    std::size_t size;
    Bytes mem;
    explicit Fenced(std::size_t n) : size(n), mem(n + 128, 0xA5) { std::memset(data(), 0x5A, n); }
    unsigned char* data() { return &mem[64]; }
    void check(std::size_t from, std::size_t to = 0) const {  // and [from, to) untouched
        to = std::min(to, size), from = std::min(from, to);
        CHECK(uniform(&mem[0], 64, 0xA5) && uniform(&mem[64 + size], 64, 0xA5));
        CHECK(uniform(&mem[64 + from], to - from, 0x5A));
    }
};

// Headers in a strictly well-formed image, else -1: prevLen chains, blocks run from
// BOR to EOR with one set of transform bits, tapemarks are bare, nothing is cut.
long strictCount(const Bytes& img) {
    std::size_t at = 0, n = 0;
    unsigned prev = 0, bits = 0;
    bool inBlock = false;
    for (; at + 6 <= img.size(); at += 6 + prev, ++n) {
        const unsigned cur = img[at] | img[at + 1] << 8, prv = img[at + 2] | img[at + 3] << 8;
        const unsigned f1 = img[at + 4], f2 = img[at + 5];
        if (prv != prev || (f1 & 0x1F) || (f2 & 0x7C) || ((f2 & 3) && !(f2 & 0x80)) || img.size() - at - 6 < cur)
            return -1;
        if (f1 & 0x40 ? inBlock || f1 != 0x40 || f2 || cur : !cur || !(f1 & 0x80) != inBlock || (inBlock && f2 != bits))
            return -1;
        if (!(f1 & 0x40)) bits = f2, inBlock = !(f1 & 0x20);
        prev = cur;
    }
    return inBlock || at != img.size() ? -1 : static_cast<long>(n);
}

std::vector<long long> state(ORVtape& t) { return {(t.getPosition(), t.curPos), t.blockID, t.fileNumber, t.tapemark}; }

// A forward read passes one block and writes nothing beyond the length it
// reports (nothing for a tapemark or a failure); a failure does not move.
int readFwd(ORVtape& t, Fenced& b, unsigned size, bool null = false) {
    const auto before = state(t);
    const int r = t.read(null ? nullptr : b.data(), size);
    b.check(null ? 0 : r < 0 ? size : std::min<std::size_t>(r, size), size);
    CHECK(t.lastRC == r && (r >= 0 ? t.blockID == before[1] + 1 : state(t) == before));
    return r;
}

const unsigned kSizes[] = {0, 1, 6, 15, 16, 17, 100, 1000, 4096, 65535, 65536, 70000};

// One operation and what must hold after it; strict: the image is well formed.
int step(ORVtape& t, bool& strict, unsigned char op, unsigned char arg) {
    const auto before = state(t);
    bool single = false;  // a single-block operation: a failure must not move
    int r = 0;
    Fenced buf(op % 16 < 2 ? kSizes[arg % 12] : 0);
    switch (op % 16) {
        case 0: r = readFwd(t, buf, buf.size, arg % 13 == 0); break;
        case 1: {  // the end of the buffer receives the block, which reads the same forwards
            r = t.readBkwd(arg % 13 ? buf.data() : nullptr, buf.size);
            buf.check(0, r < 0 ? 0 : buf.size - std::min<std::size_t>(r, buf.size));
            CHECK(r < 0 || t.blockID == before[1] - 1);
            Fenced fwd(r > 0 ? r : 0);
            if (strict && r > 0 && r <= static_cast<int>(buf.size) && arg % 13)
                CHECK(readFwd(t, fwd, r) == r && t.bsr(1) == 0 &&
                      std::equal(fwd.data(), fwd.data() + r, buf.data() + buf.size - r));
            break;
        }
        case 2: single = arg / 2 % 4 == 1, r = arg % 2 ? t.fsr(arg / 2 % 4) : t.bsr(arg / 2 % 4); break;
        case 3: arg % 2 ? t.fsf(arg / 2 % 3) : t.bsf(arg / 2 % 3); break;
        case 4: t.locate(static_cast<signed char>(arg) / 4); break;  // below 1: rewind
        case 5: {  // any output may be null; the position comes back; a strictly well-formed image is counted
            long long off;
            unsigned char hdr[6];
            bool multi, comp;
            r = t.validate(arg & 1 ? &off : nullptr, arg & 2 ? hdr : nullptr, arg & 4 ? &multi : nullptr,
                           arg & 8 ? &comp : nullptr);
            CHECK(r < 0 || (t.lastRC == r && state(t)[0] == before[0]));
            if (strict) CHECK(r == strictCount(contents()));
            break;
        }
        case 6: t.getSerialLength(), CHECK(state(t) == before); break;
        case 7: {  // a written block reads back unchanged; a read-only mount refuses it
            if (before[0] > (1 << 20)) break;  // "full": long scripts of large blocks only cost time
            Bytes d(kSizes[arg % 12]);
            uint32_t x = arg;  // noise for odd arguments, compressible bytes for even ones
            for (auto& b : d) b = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> (arg % 2 ? 16 : 30));
            single = true, r = t.write(d.empty() ? nullptr : d.data(), d.size());
            CHECK(t.lastRC == r && (t.wrtProt ? r == -11 : r == static_cast<int>(d.size())));
            CHECK(r < 0 || (t.blockID == before[1] + 1 && t.eodPos == state(t)[0]));
            Fenced back(d.size());
            if (strict && r > 0)
                CHECK(t.bsr(1) == 0 && readFwd(t, back, r) == r && std::equal(d.begin(), d.end(), back.data()));
            break;
        }
        case 8: single = arg % 3 == 1, r = t.wtm(arg % 3); break;
        case 9: t.compressOn = arg & 1, t.encryptOn = arg & 2, t.sync = arg & 4; break;
        case 10: t.maxSegLen = arg < 32 ? arg : arg * 257; break;
        case 11: t.erase(); break;
        case 12: t.close(), CHECK(t.open(memPath.c_str(), arg & 1) == 0); break;
        case 13: {  // a size of 2^31 or more over a buffer as long as the block acts as that length
            int len = 0;
            if (t.readBlk(nullptr, 0, &len) <= 0 || t.bsr(1) != 0 || len > (64 << 20)) break;
            Fenced exact(static_cast<std::size_t>(len)), huge(static_cast<std::size_t>(len));
            if (readFwd(t, exact, len) != len || t.bsr(1) != 0) break;
            CHECK(readFwd(t, huge, 0x80000000u + arg) == len &&
                  std::equal(huge.data(), huge.data() + len, exact.data()));
            break;
        }
        case 14: case 15: {  // raw header steps, which leave the block bookkeeping behind
            unsigned char h[6];
            strict = false, single = true, r = op % 16 == 14 ? t.readHdr(h) : t.readPrevHdr(h);
            const Bytes img = contents(), got(h, h + 6);  // on disk, and in readHdr's fields
            const auto fields = testsupport::header(t.curBlkLen, t.prevBlkLen, t.hdrFlags1, t.hdrFlags2);
            CHECK(r != 0 || (t.hdrPos + 6 <= static_cast<long long>(img.size()) &&
                             std::equal(h, h + 6, img.begin() + t.hdrPos) && (op % 16 == 15 || got == fields)));
            break;
        }
    }
    CHECK((!single || r >= 0 || state(t) == before) && t.blockID >= 0 && t.fileNumber >= 0);
    if (!strict) return r;
    // Still well formed, on a header boundary, and curBlkLen the segment ending there.
    const Bytes img = contents();
    long long at = 0, pos = state(t)[0], ending = 0;
    for (; at < pos && at < static_cast<long long>(img.size()); at += 6 + ending)
        ending = img[at] | img[at + 1] << 8;
    CHECK(strictCount(img) >= 0 && at == pos && t.curBlkLen == (pos == 0 ? 0 : ending));
    return r;
}

// Whether the block at offset at runs past the end of the image, inside a
// header or a payload of its chain.
bool chainCut(const Bytes& img, std::size_t at) {
    for (;; at += 6 + (img[at] | img[at + 1] << 8)) {
        if (img.size() < at + 6) return true;
        if (img[at + 4] & 0x40) return false;  // a tapemark's curLen stands for no payload
        if (img.size() - at - 6 < static_cast<std::size_t>(img[at] | img[at + 1] << 8)) return true;
        if ((img[at + 4] & 0x20) || (img[at] | img[at + 1]) == 0) return false;
    }
}

// The reader's result where the drive's read (or pass) of the block at offset
// at returned rc: the drive's codes told apart, and a pass over a block cut
// short refused, which the drive's spacing does not notice.
int readerResult(int rc, const Bytes& img, std::size_t at) {
    const bool cut = at < img.size() && chainCut(img, at);
    if (rc >= 0) return cut ? ORVTAPE_ERR_TRUNCATED : rc;
    switch (rc) {
    case -2: return at >= img.size() ? ORVTAPE_END : ORVTAPE_ERR_TRUNCATED;
    case -3: return ORVTAPE_ERR_FLAGS;
    case -10: return ORVTAPE_ERR_CHAIN;
    case -12: return cut ? ORVTAPE_ERR_TRUNCATED : ORVTAPE_ERR_DECODE;
    default: return 1 << 30;  // no result of the reader
    }
}

// The streaming reader passes, reads and validates as the drive passes (fsr),
// reads into a buffer of the record size and validates; the drive ends back
// at the load point.
void agreeWithReader(ORVtape& t) {
    static ORVtapeReader r;
    static Bytes buf(static_cast<std::size_t>(t.maxRecordSize));
    const Bytes img = contents();
    CHECK(r.open(memPath.c_str()) == ORVTAPE_OK);
    orvTapeBlockInfo b = ORVTAPE_BLOCK_INFO_INIT;
    for (orvTapeReadMode mode : {ORVTAPE_READ_PASS, ORVTAPE_READ_DECODE}) {
        unsigned char* p = mode == ORVTAPE_READ_PASS ? nullptr : buf.data();
        CHECK(r.rewind() == ORVTAPE_OK && t.rew() == 0);
        for (int want = 0; want >= 0;) {
            const auto before = state(t);
            const int rc = t.read(p, static_cast<unsigned>(buf.size()));
            want = readerResult(rc, img, static_cast<std::size_t>(before[0]));
            CHECK(r.next(&b, mode) == want && b.offset == before[0] && b.blockNumber == before[1]);
            CHECK(want < 0 || (b.end == state(t)[0] && b.lastSegment == static_cast<unsigned>(t.curBlkLen) &&
                               b.fileNumber == state(t)[2] - (b.tapemark ? 1 : 0)));
            CHECK(rc <= 0 || !p || std::equal(b.data, b.data + std::min<std::size_t>(rc, buf.size()), p));
        }
    }
    long long off;
    unsigned char hdr[6];
    bool multi, comp;
    orvTapeChainReport chain = ORVTAPE_CHAIN_REPORT_INIT;
    const int walked = r.validate(&chain), rc = t.validate(&off, hdr, &multi, &comp);
    CHECK(rc >= 0 ? walked == ORVTAPE_OK && chain.headers == rc && chain.driveCode == 0
                  : chain.driveCode == rc && walked == (rc == -2 ? ORVTAPE_ERR_TRUNCATED
                                                        : rc == -3 ? ORVTAPE_ERR_FLAGS : ORVTAPE_ERR_CHAIN));
    CHECK(chain.lastHeaderOffset == off && !std::memcmp(chain.lastHeader, hdr, 6) && chain.multiSegment == multi &&
          chain.compressed == comp);
    CHECK(r.close() == ORVTAPE_OK && t.rew() == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::size_t n = size < 2 ? 0 : std::min<std::size_t>(data[0] | data[1] << 8, size - 2);
    CHECK(ftruncate(memFd, 0) == 0 && pwrite(memFd, data + 2, n, 0) == static_cast<ssize_t>(n));
    static ORVtape t;  // close() resets every field; the work buffers are kept
    CHECK(t.open(memPath.c_str(), false) == 0);  // an empty image receives its tapemarks here
    bool strict = strictCount(contents()) >= 0;
    agreeWithReader(t);
    step(t, strict, 5, 15);  // validate with every output
    while (step(t, strict, 0, 11) >= 0) {}
    while (step(t, strict, 1, 11) >= 0) {}
    for (std::size_t i = 2 + n; i + 1 < size && i < 2 + n + 96; i += 2)  // short scripts run fast
        step(t, strict, data[i], data[i + 1]);
    t.close();
    return 0;
}
