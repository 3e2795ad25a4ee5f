// The streaming path against the drive: the writer leaves the drive's image
// byte for byte, the reader reads and validates as the drive does on good
// and damaged images, the codec round-trips, and a writer that runs out of
// room leaves whole blocks.
#include "orvTapeStream.h"
#include "support.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/resource.h>

using namespace testsupport;

namespace {

// Even blocks shrink under bzip2, odd ones do not.
Bytes blockData(std::size_t i, unsigned len) { return i % 2 ? pattern(len, static_cast<unsigned>(i)) : compressible(len); }

// The reader's walk and validate against the drive's on the same image:
// passing blocks as fsr does, and reading them into a buffer of the record size.
void agree(const Bytes& image) {
    Mounted m(image, true);
    ORVtapeReader r;
    ASSERT_TRUE(r.open(m.path.c_str()) == 0 && r.lastErrno() == 0);
    Bytes buf(4194304);
    orvTapeBlockInfo b;
    for (orvTapeReadMode mode : {ORVTAPE_READ_PASS, ORVTAPE_READ_DECODE}) {
        unsigned char* p = mode == ORVTAPE_READ_PASS ? nullptr : buf.data();
        ASSERT_TRUE(r.rewind() == 0 && m.t.rew() == 0);
        for (int rc = 0; rc >= 0;) {
            const Where at = where(m.t);
            rc = m.t.read(p, static_cast<unsigned>(buf.size()));
            errno = EIO;  // a leftover that no step of the walk may report
            ASSERT_EQ(r.next(&b, mode), rc) << "block at " << at.pos << ", mode " << mode;
            EXPECT_TRUE(b.offset == at.pos && b.blockNumber == at.blockID && b.fileNumber == at.fileNumber);
            if (rc >= 0) { EXPECT_TRUE(b.end == where(m.t).pos && b.lastSegment == static_cast<unsigned>(m.t.curBlkLen) && !r.lastErrno()); }
            const unsigned n = p ? std::min<unsigned>(rc, static_cast<unsigned>(buf.size())) : 0;  // the beginning of longer blocks
            if (rc > 0) { EXPECT_TRUE(b.dataLength == n && std::equal(b.data, b.data + n, buf.begin())); }
            if (rc > 0) { EXPECT_EQ(b.storedValid, b.flags2 & 3 ? b.storedLength : n); }  // all a transform needs
        }
        EXPECT_EQ(r.next(&b, mode), m.t.read(p, static_cast<unsigned>(buf.size()))) << "both stay at the block";
        EXPECT_EQ(r.lastErrno(), 0);  // running into the end or a defect is no system error
    }
    long long last[2];
    Bytes hdr[2] = {Bytes(6, 0xEE), Bytes(6, 0xEE)};
    bool multi[2], comp[2];
    EXPECT_EQ(r.validate(&last[0], hdr[0].data(), &multi[0], &comp[0]), m.t.validate(&last[1], hdr[1].data(), &multi[1], &comp[1]));
    EXPECT_TRUE(last[0] == last[1] && hdr[0] == hdr[1] && multi[0] == multi[1] && comp[0] == comp[1]);
}

}  // namespace

TEST(Stream, WriterLeavesTheDrivesImage) {
    // The drive writes a first block into both images; the writer continues
    // from there (over a stale tail) with the lengths given, 0 a tapemark.
    const struct { const char* what; bool compress, scramble, viaCodec; int segLen; std::vector<unsigned> lengths; } cases[] = {
        {"plain", false, false, false, 65535, {80, 0, 300, 0, 0}},
        {"small segments", false, false, false, 10, {40, 17, 0, 1}},
        {"compressed or not", true, false, false, 64, {1000, 500, 0, 3000}},
        {"scrambled", false, true, false, 64, {500, 0, 70000}},
        {"compressed, then scrambled", true, true, false, 100, {1000, 70001, 0}},
        {"larger than the buffer", false, false, false, 65535, {4194304, 0, 2000000}},
        {"many cards", false, false, false, 65535, std::vector<unsigned>(20000, 80)},
        {"encoded by a codec", true, true, true, 65535, {1000, 0, 501}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Mounted d;
        d.t.compressOn = c.compress, d.t.encryptOn = c.scramble, d.t.maxSegLen = c.segLen;
        ASSERT_EQ(d.t.write(blockData(0, 100).data(), 100), 100);
        const std::string path = d.dir.path("w.tape");
        writeFile(path, readFile(d.path) + Bytes(50, 0xEE));
        ORVtapeWriter w;
        ORVtapeCodec codec;
        w.setCompress(c.compress), w.setEncrypt(c.scramble), w.setMaxSegLen(c.segLen);
        ASSERT_EQ(w.open(path.c_str(), d.t.curPos, static_cast<unsigned>(d.t.curBlkLen)), 0);
        for (std::size_t i = 0; i < c.lengths.size(); ++i) {
            const unsigned len = c.lengths[i];
            const Bytes data = blockData(i + 1, len);
            ASSERT_EQ(d.t.write(data.data(), len), static_cast<int>(len));
            const unsigned char* stored;
            unsigned char flags2;
            const int n = c.viaCodec ? codec.encode(data.data(), len, c.compress, c.scramble, &stored, &flags2) : 0;
            ASSERT_EQ(c.viaCodec ? w.writeStored(stored, static_cast<unsigned>(n), flags2) : w.write(data.data(), len),
                      c.viaCodec ? n : static_cast<int>(len));
        }
        EXPECT_EQ(w.position(), d.t.curPos);
        ASSERT_EQ(w.close(), 0);
        EXPECT_TRUE(readFile(path) == readFile(d.path));
    }
}

TEST(Stream, ReaderReadsAndValidatesAsTheDrive) {
    Mounted d;
    for (int kind = 0; kind < 4; ++kind) {
        d.t.compressOn = kind & 1, d.t.encryptOn = kind & 2, d.t.maxSegLen = kind ? 100 : 65535;
        for (unsigned len : {80u, 0u, 1000u, 70000u}) ASSERT_EQ(d.t.write(blockData(len == 1000, len).data(), len), static_cast<int>(len));
    }
    agree(readFile(d.path));
    Bytes broken = Bytes{0x08, 0xA7} + bzip2(compressible(5000));  // 5000 as the length prefix
    broken[broken.size() / 2] ^= 0x5A;
    const Bytes cont16 = segment(16, 10, 0x80), start = header(0, 0, 0x40, 0) + segment(10, 0, 0xA0);
    const Bytes tails[] = {
        segment(5, 10, 0xB0), segment(5, 10, 0xA0, 0x04), segment(5, 10, 0x20), cont16 + segment(5, 16, 0xA0),
        cont16 + header(0, 16, 0x40, 0), header(0, 10, 0xA0, 0), cont16 + header(0, 16, 0x20, 0),
        segment(5, 10, 0xA0, 0x01), segment(16, 10, 0x80, 0x82) + segment(4, 16, 0x20, 0x02),
        segment(16, 10, 0x80, 0x82) + segment(4, 16, 0x20, 0x80), segment(16, 10, 0x80, 0x81) + segment(4, 16, 0x20, 0x82),
        cont16, header(100, 10, 0xA0, 0) + Bytes(40, 1), header(100, 10, 0xA0, 0) + Bytes(99, 1),
        cont16 + header(100, 16, 0x20, 0) + Bytes(40, 1), block(broken, 65535, 10, 0x81), block(broken, 700, 10, 0x83),
        segment(3, 10, 0x40), Bytes{5, 0, 0}, header(0, 5, 0x40, 0), segment(16, 10, 0x80, 0x80) + segment(4, 16, 0x20, 0),
    };
    for (const Bytes& tail : tails) agree(start + tail);
    // Written with an 8 MiB limit: a plain block comes as its beginning, a
    // scrambled one does not fit the work buffer that gathers it.
    Mounted big;
    big.t.setMaxRecordSize(8 << 20);
    for (bool scramble : {false, true}) {
        big.t.encryptOn = scramble;
        ASSERT_EQ(big.t.write(pattern(5 << 20).data(), 5 << 20), 5 << 20);
    }
    agree(readFile(big.path));
    // With room for them, both read whole, once the reader goes back.
    ORVtapeReader r;
    orvTapeBlockInfo b;
    ASSERT_TRUE(r.open(big.path.c_str()) == 0 && r.next(&b, ORVTAPE_READ_DECODE) == 5 << 20);
    // Only its beginning is held then, and the writer does not take that for the block.
    ORVtapeWriter w;
    const std::string copy = big.dir.path("copy.tape");
    w.setMaxRecordSize(8 << 20);
    ASSERT_EQ(w.open(copy.c_str(), 0, 0), 0);
    EXPECT_TRUE(b.storedLength == 5u << 20 && b.storedValid == 4u << 20 && w.writeBlock(&b) == -12 && !w.position());
    r.setMaxRecordSize(8 << 20);
    EXPECT_TRUE(r.open(big.path.c_str()) == -1 && r.lastErrno() == EBUSY);  // one image at a time
    ASSERT_TRUE(r.seek(-1, 0, 0) == -1 && r.seek(0, -1, 0) == -1 && r.seek(b.offset, b.blockNumber, b.fileNumber) == 0);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(r.next(&b, ORVTAPE_READ_DECODE), 5 << 20);
        EXPECT_TRUE(b.dataLength == 5u << 20 && Bytes(b.data, b.data + b.dataLength) == pattern(5 << 20));
        EXPECT_EQ(w.writeBlock(&b), static_cast<int>(b.storedLength));
    }
    EXPECT_TRUE(w.close() == 0 && readFile(copy) == readFile(big.path));
    // Closed and opened again, it starts over at the load point.
    ASSERT_TRUE(r.close() == 0 && r.open(big.path.c_str()) == 0);
    EXPECT_TRUE(r.next(&b, ORVTAPE_READ_PASS) == 5 << 20 && b.offset == 0 && b.blockNumber == 0);
}

TEST(Stream, CodecRoundTripsAndRefusesWhatDoesNotDecode) {
    ORVtapeCodec codec;
    const unsigned char* out;
    unsigned char flags2;
    unsigned outLen;
    for (int kind = 0; kind < 4; ++kind)
        for (unsigned len : {300u, 70000u}) {
            const Bytes data = compressible(len);
            const int n = codec.encode(data.data(), len, kind & 1, kind & 2, &out, &flags2);
            ASSERT_GT(n, 0);
            EXPECT_EQ(flags2, (Bytes{0x00, 0x81, 0x82, 0x83}[kind]));
            const Bytes stored(out, out + n);
            EXPECT_EQ(codec.length(stored.data(), static_cast<unsigned>(n), flags2), static_cast<int>(len));
            ASSERT_EQ(codec.decode(stored.data(), static_cast<unsigned>(n), flags2, &out, &outLen), static_cast<int>(len));
            EXPECT_TRUE(outLen == len && Bytes(out, out + len) == data);
        }
    Bytes broken = Bytes{0x70, 0x87} + bzip2(compressible(1000));  // prefix 1008: the stream ends early
    EXPECT_EQ(codec.length(broken.data(), static_cast<unsigned>(broken.size()), 0x81), 1008);
    EXPECT_EQ(codec.decode(broken.data(), static_cast<unsigned>(broken.size()), 0x81, &out, &outLen), -12);
    EXPECT_TRUE(out == nullptr && outLen == 0);
    EXPECT_EQ(codec.decode(broken.data(), 1, 0x81, &out, &outLen), -12);  // the prefix does not end
    EXPECT_EQ(codec.decode(broken.data(), 4, 0x01, &out, &outLen), -10);
    EXPECT_EQ(codec.decode(broken.data(), 4, 0x84, &out, &outLen), -10);
    EXPECT_EQ(codec.encode(broken.data(), 4194305, false, false, &out, &flags2), -13);
    EXPECT_EQ(codec.encode(nullptr, 5, false, false, &out, &flags2), -12);
    orvTapeCodecHandle h = orvTapeCodecCreate();  // the same through the C functions
    const Bytes d = compressible(300);
    const int n = orvTapeCodecEncode(h, d.data(), 300, true, true, &out, &flags2);
    const Bytes st(out, out + n);
    EXPECT_TRUE(orvTapeCodecDecode(h, st.data(), n, flags2, &out, &outLen) == 300 && Bytes(out, out + 300) == d);
    orvTapeCodecDestroy(h);
    const long long nulls[] = {
        orvTapeCodecEncode(nullptr, broken.data(), 1, true, true, &out, &flags2), orvTapeReaderRewind(nullptr),
        orvTapeCodecDecode(nullptr, broken.data(), 1, 0, &out, &outLen), orvTapeReaderOpen(nullptr, "x"),
        orvTapeReaderNext(nullptr, nullptr, ORVTAPE_READ_PASS), orvTapeWriterWrite(nullptr, "x", 1),
        orvTapeWriterWTM(nullptr, 1), orvTapeWriterClose(nullptr), orvTapeReaderClose(nullptr),
        orvTapeReaderSeek(nullptr, 0, 0, 0), orvTapeReaderValidate(nullptr, nullptr, nullptr, nullptr, nullptr),
        orvTapeReaderGetLastErrno(nullptr), orvTapeWriterOpen(nullptr, "x", 0, 0), orvTapeWriterGetLastErrno(nullptr),
        orvTapeWriterWriteStored(nullptr, "x", 1, 0), orvTapeWriterGetPosition(nullptr), orvTapeWriterWriteBlock(nullptr, nullptr)};
    for (long long r : nulls) EXPECT_EQ(r, -1);
    const auto descriptors = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
    const auto before = descriptors();
    { ORVtapeReader gone; EXPECT_EQ(gone.open("/dev/null"), 0); }  // the reader closes what it opened
    EXPECT_EQ(descriptors(), before);
    ORVtapeReader idle;  // not open, or refused: nothing to read
    orvTapeBlockInfo b;
    EXPECT_TRUE(idle.next(&b, ORVTAPE_READ_PASS) == -1 && idle.seek(0, 0, 0) == -1 && idle.close() == 0 &&
                idle.open("/nonexistent/x") == -1 && idle.lastErrno() == ENOENT && idle.open("/") == -1 &&
                idle.lastErrno() == EISDIR && descriptors() == before &&
                idle.validate(nullptr, nullptr, nullptr, nullptr) == -1 && idle.lastErrno() == 0);
}

TEST(Stream, WriterThatRunsOutOfRoomLeavesWholeBlocks) {
    // Blocks gathered in the buffer, and blocks larger than it written straight.
    const struct { unsigned len, blocks; } cases[] = {{80, 70000}, {2000000, 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.len);
        TempDir dir;
        const std::string path = dir.path("full.tape");
        const long long span = c.len + 6 * ((c.len - 1) / 65535 + 1);
        EXPECT_EQ(inChild([&] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit lim{4500000, 4500000};
            ORVtapeWriter w;
            if (setrlimit(RLIMIT_FSIZE, &lim) != 0 || w.open(path.c_str(), 0, 0) != 0) return 1;
            const Bytes data = pattern(c.len);
            int rc = 0;
            for (unsigned i = 0; i < c.blocks && rc >= 0; ++i) rc = w.write(data.data(), c.len);
            if (rc != -11 || w.lastErrno() != EFBIG || w.wtm(1) != -11 || w.close() != -11) return 2;
            return fileSize(path) == w.position() && w.position() % span == 0 && w.position() > 3000000 ? 0 : 3;
        }), 0);
        Mounted m(readFile(path), true);
        EXPECT_EQ(m.t.validate(nullptr, nullptr, nullptr, nullptr), fileSize(path) / span * (span - c.len) / 6);
    }
    ORVtapeWriter w;  // refusals before anything is written, in the drive's order
    EXPECT_TRUE(w.write("x", 1) == -11 && w.write(nullptr, 4194305) == -13 && w.writeStored("x", 1, 0) == -11 &&
                w.writeBlock(nullptr) == -12 && w.lastErrno() == EFAULT);
    TempDir dir;
    EXPECT_TRUE(w.close() == 0 && w.open(dir.path("n.tape").c_str(), 0, 0) == 0 && w.write(nullptr, 5) == -12 &&
                w.lastErrno() == EFAULT && w.close() == 0 && fileSize(dir.path("n.tape")) == 0);
}
