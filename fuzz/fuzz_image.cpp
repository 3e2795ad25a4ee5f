// Inspects an arbitrary image opened read-only: validation, a complete
// forward walk, a complete backward walk and a script of raw header steps.
// On a strictly well-formed image the three views have to agree: validate
// counts every header, the forward walk reads every block up to the end of
// the data, and reading backwards from there meets the same blocks in
// reverse with the same contents.
#include "ORVtape.h"
#include "harness.h"

using namespace fuzzsupport;

namespace {

constexpr std::size_t kBuf = 70000;
constexpr int kMaxBlocks = 20000;

unsigned headerCount(const Bytes& img) {
    unsigned n = 0;
    for (std::size_t at = 0; at + 6 <= img.size(); at += 6 + (img[at] | (img[at + 1] << 8))) ++n;
    return n;
}

struct Block {
    int length;
    Bytes head;  // what the read delivered, at most kBuf bytes
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static MemImage file;
    const Input in = split(data, size);
    file.load(in.image, in.imageLen);
    const Bytes img(in.image, in.image + in.imageLen);
    const bool strict = strictlyWellFormed(img);

    static ORVtape t;  // close() resets it; its work buffers are reused
    if (t.open(file.path(), true) != 0) fail("open");

    long long off = 0;
    Fenced hdr(6);
    bool multi = false, comp = false;
    const int v = t.validate(&off, hdr.data(), &multi, &comp);
    hdr.checkGuards();
    if (strict) FUZZ_CHECK(v == static_cast<int>(headerCount(img)));
    if (v >= 0) FUZZ_CHECK(t.curPos == 0 && t.lastRC == v);

    // Forward: every block, recording what came back.
    std::vector<Block> blocks;
    Fenced buf(kBuf);
    int r = 0;
    FUZZ_CHECK(t.rew() == 0);
    while (static_cast<int>(blocks.size()) < kMaxBlocks) {
        buf.reset();
        r = t.read(buf.data(), kBuf);
        buf.checkGuards();
        if (r < 0) break;
        const std::size_t got = static_cast<std::size_t>(r) < kBuf ? r : kBuf;
        FUZZ_CHECK(buf.untouched(got, kBuf));
        blocks.push_back({r, Bytes(buf.data(), buf.data() + got)});
        FUZZ_CHECK(t.blockID == static_cast<int>(blocks.size()));
    }
    const bool forwardComplete = r == -2 && t.curPos == static_cast<long long>(img.size());

    // Backward from wherever the walk stopped: the same blocks in reverse.
    std::size_t k = blocks.size();
    while (k > 0) {
        buf.reset();
        r = t.readBkwd(buf.data(), kBuf);
        buf.checkGuards();
        if (r < 0) break;
        --k;
        FUZZ_CHECK(t.blockID == static_cast<int>(k));
        const std::size_t got = static_cast<std::size_t>(r) < kBuf ? r : kBuf;
        FUZZ_CHECK(buf.untouched(0, kBuf - got));
        // A broken prevLen chain may lead a backward walk astray; only a
        // well-formed one has to give back what the forward walk met.
        if (!strict) continue;
        FUZZ_CHECK(r == blocks[k].length);
        if (got > 0 && static_cast<std::size_t>(r) <= kBuf)
            FUZZ_CHECK(std::memcmp(buf.data() + kBuf - got, blocks[k].head.data(), got) == 0);
    }
    if (strict && forwardComplete) {
        // Only a payload that does not decompress the same way into a larger
        // area may stop a backward walk over a well-formed chain.
        if (k != 0) FUZZ_CHECK(r == -12);
        if (k == 0) {
            FUZZ_CHECK(t.curPos == 0 && t.bot);
            FUZZ_CHECK(t.readBkwd(buf.data(), kBuf) == -4);
        }
    }

    // Raw header steps and length prefixes from arbitrary places in the chain.
    const std::size_t steps = in.scriptLen / 2 < 48 ? in.scriptLen / 2 : 48;
    for (std::size_t i = 0; i < steps; ++i) {
        const unsigned char op = in.script[2 * i], arg = in.script[2 * i + 1];
        Fenced h(6);
        switch (op % 8) {
            case 0: t.readHdr(h.data()); break;
            case 1: t.readPrevHdr(h.data()); break;
            case 2: t.getSerialLength(); break;
            case 3: t.fsr(arg % 5); break;
            case 4: t.bsr(arg % 5); break;
            case 5: t.locate(static_cast<signed char>(arg)); break;
            case 6: t.backSpaceBlock(nullptr); break;
            case 7: FUZZ_CHECK(t.write(h.data(), 6) == -11); break;  // read-only
        }
        h.checkGuards();
        FUZZ_CHECK(t.blockID >= 0 && t.fileNumber >= 0);
    }
    t.close();
    FUZZ_CHECK(file.contents() == img);  // a read-only mount never changes the image
    return 0;
}
