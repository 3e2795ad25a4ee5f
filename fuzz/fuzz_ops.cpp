// Runs a script of tape operations against an arbitrary image.  Whatever the
// image holds, no call may crash, hang or write outside the caller's buffer.
// When the image starts out strictly well formed, it has to stay so, every
// block written must read back unchanged, and the header fields must keep
// describing the segment that ends at the position.
#include "ORVtape.h"
#include "harness.h"

#include <climits>

using namespace fuzzsupport;

namespace {

const unsigned kSizes[] = {0, 0, 1, 6, 16, 17, 100, 1000, 4096, 65535, 65536, 70000};
const unsigned kLengths[] = {0, 1, 15, 16, 17, 100, 300, 1000, 5000, 65535, 65536, 70000};
constexpr unsigned kHuge = 0x80000000u;

struct Run {
    ORVtape& t;
    MemImage& file;
    bool strict;
    bool readOnly = false;

    Run(ORVtape& tape, MemImage& f, bool s) : t(tape), file(f), strict(s) {}

    long long position() {
        t.getPosition();
        return t.curPos;
    }

    // The header fields must describe the segment that ends at the position.
    void checkChainFields() {
        if (!strict || t.fd < 0) return;
        const Bytes img = file.contents();
        FUZZ_CHECK(strictlyWellFormed(img));
        const long long pos = position();
        long long at = 0;
        unsigned endingLen = 0;
        while (at < pos && at < static_cast<long long>(img.size())) {
            endingLen = img[at] | (img[at + 1] << 8);
            at += 6 + endingLen;
        }
        FUZZ_CHECK(at == pos);  // always on a header boundary
        FUZZ_CHECK(t.curBlkLen == static_cast<int>(pos == 0 ? 0 : endingLen));
    }

    void forwardRead(unsigned sel) {
        const bool null = sel % 13 == 0;
        const unsigned size = kSizes[sel % 12];
        Fenced buf(size);
        const long long before = position();
        const int id = t.blockID, fn = t.fileNumber;
        const bool tm = t.tapemark;
        const int r = t.read(null ? nullptr : buf.data(), size);
        buf.checkGuards();
        FUZZ_CHECK(t.lastRC == r);
        if (r > 0) FUZZ_CHECK(buf.untouched(static_cast<std::size_t>(r) < size ? r : size, size));
        if (r == 0) FUZZ_CHECK(buf.untouched(0, size));
        if (r < 0) {
            FUZZ_CHECK(position() == before);
            FUZZ_CHECK(t.blockID == id && t.fileNumber == fn && t.tapemark == tm);
        }
        if (null || size == 0) FUZZ_CHECK(buf.untouched(0, size));
    }

    // A size of 2^31 or more over a buffer exactly as long as the block:
    // nothing may land beyond the block's length.
    void hugeRead(unsigned sel) {
        int len = 0;
        if (t.readBlk(nullptr, 0, &len) <= 0) return;
        if (t.bsr(1) != 0 || len > (64 << 20)) return;
        Fenced buf(static_cast<std::size_t>(len));
        const int r = t.read(buf.data(), kHuge + sel);
        buf.checkGuards();
        if (r >= 0) FUZZ_CHECK(r == len);
    }

    void backwardRead(unsigned sel) {
        const bool null = sel % 13 == 0;
        const unsigned size = kSizes[sel % 12];
        Fenced buf(size);
        const int r = t.readBkwd(null ? nullptr : buf.data(), size);
        buf.checkGuards();
        if (r >= 0 && static_cast<unsigned>(r) <= size) FUZZ_CHECK(buf.untouched(0, size - r));
        if (r == 0) FUZZ_CHECK(buf.untouched(0, size));
    }

    void write(unsigned sel) {
        // Long scripts of large blocks only cost time: the tape is "full".
        if (file.size() > (1u << 20)) return;
        const unsigned len = kLengths[sel % 12];
        const Bytes data = blockData(len, sel);
        const int id = t.blockID;
        const int r = t.write(len ? data.data() : nullptr, len);
        FUZZ_CHECK(t.lastRC == r);
        if (r < 0) return;
        FUZZ_CHECK(r == static_cast<int>(len));
        FUZZ_CHECK(t.blockID == id + 1);
        FUZZ_CHECK(t.eodPos == position());
        if (!strict) return;
        FUZZ_CHECK(strictlyWellFormed(file.contents()));
        if (len == 0) return;
        // The block must come back exactly as written.
        FUZZ_CHECK(t.bsr(1) == 0);
        Fenced back(len);
        FUZZ_CHECK(t.read(back.data(), len) == static_cast<int>(len));
        back.checkGuards();
        FUZZ_CHECK(std::memcmp(back.data(), data.data(), len) == 0);
        FUZZ_CHECK(t.blockID == id + 1);
    }

    // Arguments outside the interface are refused without touching anything.
    void badWrite(unsigned sel) {
        const Bytes before = file.contents();
        const long long pos = position();
        unsigned char small[16] = {};
        int r;
        if (sel & 1)
            r = t.write(small, static_cast<unsigned>(t.maxRecordSize) + 1 + sel);
        else
            r = t.write(nullptr, 1 + sel);
        FUZZ_CHECK(r < 0);
        FUZZ_CHECK(position() == pos);
        FUZZ_CHECK(file.contents() == before);
    }

    void validate(unsigned sel) {
        long long off = 0;
        Fenced hdr(6);
        bool multi = false, comp = false;
        const int r = t.validate((sel & 1) ? &off : nullptr, (sel & 2) ? hdr.data() : nullptr,
                                 (sel & 4) ? &multi : nullptr, (sel & 8) ? &comp : nullptr);
        hdr.checkGuards();
        if (strict && t.fd >= 0) FUZZ_CHECK(r >= 0);
    }

    void reopen(unsigned sel) {
        t.close();
        readOnly = sel & 1;
        if (t.open(file.path(), readOnly) != 0) fail("reopen");
    }

    void step(unsigned char op, unsigned char arg) {
        switch (op % 21) {
            case 0: forwardRead(arg); break;
            case 1: backwardRead(arg); break;
            case 2: t.fsr(arg % 4); break;
            case 3: t.fsf(arg % 3); break;
            case 4: t.bsr(arg % 4); break;
            case 5: t.bsf(arg % 3); break;
            case 6: t.locate(static_cast<signed char>(arg) / 4); break;
            case 7: t.rew(); break;
            case 8: validate(arg); break;
            case 9: t.getSerialLength(); break;
            case 10: write(arg); break;
            case 11: t.wtm(arg % 3); break;
            case 12: t.compressOn = arg & 1; break;
            case 13: t.encryptOn = arg & 1; break;
            case 14: t.maxSegLen = arg < 32 ? arg : arg * 257; break;
            case 15: t.erase(); break;
            case 16: t.sync = arg & 1; break;
            case 17: reopen(arg); break;
            case 18: t.maxTapeLen = static_cast<unsigned long long>(arg) * 64; break;
            case 19: hugeRead(arg); break;
            case 20: badWrite(arg); break;
        }
        FUZZ_CHECK(t.blockID >= 0 && t.fileNumber >= 0);
        FUZZ_CHECK(t.maxRecordSize >= 4194304);
        checkChainFields();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static MemImage file;
    // One object for the whole session: close() resets every field, and
    // keeping its work buffers spares three large allocations per input.
    static ORVtape tape;
    const Input in = split(data, size);
    file.load(in.image, in.imageLen);
    const bool strict = strictlyWellFormed(Bytes(in.image, in.image + in.imageLen));
    Run run(tape, file, strict);
    if (run.t.open(file.path(), false) != 0) fail("open");
    // A short script keeps each run fast; the corpus carries the variety.
    const std::size_t steps = in.scriptLen / 2 < 48 ? in.scriptLen / 2 : 48;
    for (std::size_t i = 0; i < steps; ++i) run.step(in.script[2 * i], in.script[2 * i + 1]);
    if (strict) FUZZ_CHECK(strictlyWellFormed(file.contents()));
    tape.close();
    return 0;
}
