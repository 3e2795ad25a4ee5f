// The streaming path against the drive: the writer leaves the drive's image
// byte for byte, the reader reads and validates as the drive does on good
// and damaged images, the codec round-trips, and a writer that runs out of
// room leaves whole blocks.
#include "orvTapeStream.h"
#include "support.h"

#include <algorithm>
#include <cstddef>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testsupport;

namespace {

// Even blocks shrink under bzip2, odd ones do not.
Bytes blockData(std::size_t i, unsigned len) { return i % 2 ? pattern(len, static_cast<unsigned>(i)) : compressible(len); }

// What the reader returns where the drive's read returns rc: one meaning each.
int expected(int rc, const Where& at, std::size_t size, const orvTapeBlockInfo& b) {
    if (rc == -2) return at.pos == static_cast<long long>(size) ? ORVTAPE_END : ORVTAPE_ERR_TRUNCATED;
    if (rc == -12) return b.length > 4194304 ? ORVTAPE_ERR_TOO_LONG : b.flags2 & 3 ? ORVTAPE_ERR_DECODE : ORVTAPE_ERR_TRUNCATED;
    return rc == -3 ? ORVTAPE_ERR_FLAGS : rc == -10 ? ORVTAPE_ERR_CHAIN : rc;
}

// The reader's walk and validate against the drive's on the same image:
// passing blocks as fsr does (and in stored form alongside), and reading
// them into a buffer of the record size.
void agree(const Bytes& image) {
    Mounted m(image, true);
    ORVtapeReader r, stored;
    ASSERT_TRUE(r.open(m.path.c_str()) == 0 && r.lastErrno() == 0 && stored.open(m.path.c_str()) == 0);
    Bytes buf(4194304);
    orvTapeBlockInfo b = ORVTAPE_BLOCK_INFO_INIT, s = ORVTAPE_BLOCK_INFO_INIT;
    for (orvTapeReadMode mode : {ORVTAPE_READ_PASS, ORVTAPE_READ_DECODE}) {
        unsigned char* p = mode == ORVTAPE_READ_PASS ? nullptr : buf.data();
        ASSERT_TRUE(r.rewind() == 0 && m.t.rew() == 0);
        int rc = 0;
        while (rc >= 0) {
            const Where at = where(m.t);
            rc = m.t.read(p, static_cast<unsigned>(buf.size()));
            const int drive = rc;
            const bool beyond = rc >= 0 && where(m.t).pos > static_cast<long long>(image.size());  // passed, not there
            errno = EIO;  // a leftover that no step of the walk may report
            const int got = r.next(&b, mode);
            rc = beyond ? ORVTAPE_ERR_TRUNCATED : expected(rc, at, image.size(), b);
            ASSERT_EQ(got, rc) << "block at " << at.pos << ", mode " << mode;
            EXPECT_EQ(b.headerCut, rc == ORVTAPE_ERR_TRUNCATED && !beyond && drive == -2) << "cut in a header, not a payload";
            EXPECT_TRUE(b.offset == at.pos && b.blockNumber == at.blockID && b.fileNumber == at.fileNumber);
            if (rc >= 0) { EXPECT_TRUE(b.end == where(m.t).pos && b.lastSegment == static_cast<unsigned>(m.t.curBlkLen) && !r.lastErrno()); }
            const unsigned n = p ? std::min<unsigned>(rc, static_cast<unsigned>(buf.size())) : 0;  // the beginning of longer blocks
            if (rc > 0) { EXPECT_TRUE(b.dataLength == n && std::equal(b.data, b.data + n, buf.begin())); }
            if (rc > 0) { EXPECT_EQ(b.storedValid, p && b.flags2 & 3 ? b.storedLength : n); }  // all a transform needs
            if (p) continue;
            ASSERT_EQ(stored.next(&s, ORVTAPE_READ_STORED), got);
            EXPECT_TRUE(s.end == b.end && s.storedValid == std::min(s.storedLength, 4194304u));
        }
        EXPECT_EQ(r.next(&b, mode), rc) << "the reader stays at the block";
        EXPECT_EQ(r.lastErrno(), 0);  // running into the end or a defect is no system error
    }
    long long last;
    Bytes hdr(6, 0xEE);
    bool multi, comp;
    orvTapeChainReport rep = ORVTAPE_CHAIN_REPORT_INIT;
    const int drive = m.t.validate(&last, hdr.data(), &multi, &comp), rc = r.validate(&rep);
    EXPECT_EQ(rc, drive >= 0 ? ORVTAPE_OK : drive == -2 ? ORVTAPE_ERR_TRUNCATED : drive == -3 ? ORVTAPE_ERR_FLAGS : ORVTAPE_ERR_CHAIN);
    EXPECT_TRUE(drive >= 0 ? rep.headers == drive && rep.driveCode == 0 : rep.driveCode == drive) << drive;
    EXPECT_TRUE(last == rep.lastHeaderOffset && hdr == Bytes(rep.lastHeader, rep.lastHeader + 6) && multi == rep.multiSegment && comp == rep.compressed);
    if (drive != -2) { EXPECT_TRUE(rep.lastCurLen == (hdr[0] | hdr[1] << 8u) + 0u && rep.lastPrevLen == (hdr[2] | hdr[3] << 8u) + 0u); }
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
        ASSERT_EQ(w.flush(), 0);  // the whole volume, the stale tail gone, while still open
        EXPECT_TRUE(readFile(path) == readFile(d.path));
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
    // Whether the chain ends inside a block; a report of the first version's size is filled as far as it reaches.
    for (const auto& [tail, inBlock] : {std::pair{Bytes{}, false}, {cont16, true}, {header(0, 10, 0x40, 0), false}}) {
        writeFile(d.dir.path("e.tape"), start + tail);
        ORVtapeReader e;
        orvTapeChainReport rep = ORVTAPE_CHAIN_REPORT_INIT, first = ORVTAPE_CHAIN_REPORT_INIT;
        first.size = offsetof(orvTapeChainReport, compressed) + 1;
        first.lastCurLen = 77;
        ASSERT_TRUE(e.open(d.dir.path("e.tape").c_str()) == 0 && e.validate(&rep) == 0 && e.validate(&first) == 0);
        EXPECT_TRUE(rep.endsInBlock == inBlock && first.headers == rep.headers && first.lastCurLen == 77);
    }
    // XFORM without a transform: the drive reads a plain block, and the writer keeps the flag in every segment.
    ORVtapeWriter x;
    x.setMaxSegLen(16);
    ASSERT_TRUE(x.open(d.dir.path("x.tape").c_str(), 0, 0) == 0 && x.writeStored(pattern(40).data(), 40, 0x80) == 40);
    EXPECT_TRUE(x.writeStored("x", 1, 0x84) == ORVTAPE_ERR_ARGUMENT && x.writeStored("x", 1, 0x01) == ORVTAPE_ERR_ARGUMENT && x.close() == 0);
    const Bytes x80 = readFile(d.dir.path("x.tape"));
    EXPECT_TRUE(x80.size() == 58 && x80[5] == 0x80 && x80[27] == 0x80 && x80[49] == 0x80);
    agree(x80);
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
    orvTapeBlockInfo b = ORVTAPE_BLOCK_INFO_INIT;
    ASSERT_TRUE(r.open(big.path.c_str()) == 0 && r.next(&b, ORVTAPE_READ_DECODE) == 5 << 20);
    // Only its beginning is held then, and the writer does not take that for the block.
    ORVtapeWriter w;
    const std::string copy = big.dir.path("copy.tape");
    w.setMaxRecordSize(8 << 20);
    ASSERT_EQ(w.open(copy.c_str(), 0, 0), 0);
    EXPECT_TRUE(b.storedLength == 5u << 20 && b.storedValid == 4u << 20 && w.writeBlock(&b) == ORVTAPE_ERR_INCOMPLETE && !w.position());
    // A limit lets the record size grow per block up to it; beyond it the block is claimed, not read.
    const long long blockAt = b.offset;
    for (long long limit : {5 << 20, (5 << 20) - 1}) {
        ORVtapeReader grow;
        grow.setBlockLimit(limit);
        for (orvTapeReadMode mode : {ORVTAPE_READ_PASS, ORVTAPE_READ_STORED, ORVTAPE_READ_DECODE})
            for (int i : {1, 0}) {
                ASSERT_TRUE(grow.open(big.path.c_str()) == 0 && grow.seek(i ? blockAt : 0, i, 0) == 0);
                EXPECT_EQ(grow.next(&b, mode), limit < 5 << 20 ? ORVTAPE_ERR_TOO_LONG : 5 << 20);
                EXPECT_TRUE(b.length == 5 << 20 && b.offset == (i ? blockAt : 0) && (mode != ORVTAPE_READ_DECODE || limit < 5 << 20 || b.dataLength == 5u << 20));
            }
    }
    r.setMaxRecordSize(8 << 20);
    b.size = sizeof b - 1;
    EXPECT_TRUE(r.next(&b, ORVTAPE_READ_PASS) == ORVTAPE_ERR_ARGUMENT && r.next(nullptr, ORVTAPE_READ_PASS) == ORVTAPE_ERR_ARGUMENT);
    b.size = sizeof b;
    ASSERT_TRUE(r.seek(-1, 0, 0) == ORVTAPE_ERR_ARGUMENT && r.seek(0, -1, 0) == ORVTAPE_ERR_ARGUMENT && r.seek(blockAt, 1, 0) == 0);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(r.next(&b, ORVTAPE_READ_DECODE), 5 << 20);
        EXPECT_TRUE(b.dataLength == 5u << 20 && Bytes(b.data, b.data + b.dataLength) == pattern(5 << 20));
        EXPECT_EQ(w.writeBlock(&b), static_cast<int>(b.storedLength));
    }
    EXPECT_TRUE(w.close() == 0 && readFile(copy) == readFile(big.path));
    // Opened again, on a descriptor, it starts over at the load point and leaves the descriptor's offset alone.
    const int fd = ::open(big.path.c_str(), O_RDONLY);
    ASSERT_TRUE(lseek(fd, 7, SEEK_SET) == 7 && r.openFd(fd) == 0 && r.next(&b, ORVTAPE_READ_PASS) == 5 << 20);
    EXPECT_TRUE(b.offset == 0 && b.blockNumber == 0 && lseek(fd, 0, SEEK_CUR) == 7 && ::close(fd) == 0);
    ORVtapeReader moved(std::move(r));
    EXPECT_TRUE(r.next(&b, ORVTAPE_READ_PASS) == ORVTAPE_ERR_NOT_OPEN && r.lastErrno() == 0 && moved.next(&b, ORVTAPE_READ_PASS) == 5 << 20);
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
    EXPECT_EQ(codec.decode(broken.data(), static_cast<unsigned>(broken.size()), 0x81, &out, &outLen), ORVTAPE_ERR_DECODE);
    EXPECT_TRUE(out == nullptr && outLen == 0);
    EXPECT_EQ(codec.decode(broken.data(), 1, 0x81, &out, &outLen), ORVTAPE_ERR_DECODE);  // the prefix does not end
    EXPECT_TRUE(codec.decode(broken.data(), 4, 0x01, &out, &outLen) == ORVTAPE_ERR_FLAGS && codec.length(broken.data(), 4, 0x84) == ORVTAPE_ERR_FLAGS);
    EXPECT_TRUE(codec.decode(broken.data(), 4, 0x81, &out, nullptr) == ORVTAPE_ERR_ARGUMENT && codec.encode(broken.data(), 1, false, false, nullptr, &flags2) == ORVTAPE_ERR_ARGUMENT);
    EXPECT_EQ(codec.encode(broken.data(), 4194305, false, false, &out, &flags2), ORVTAPE_ERR_TOO_LONG);
    const Bytes longest(4194304, 7);  // the record size itself is no refusal
    EXPECT_EQ(codec.encode(longest.data(), 4194304, false, false, &out, &flags2), 4194304);
    EXPECT_EQ(codec.encode(nullptr, 5, false, false, &out, &flags2), ORVTAPE_ERR_ARGUMENT);
    // Stored as it is, the block is the caller's own bytes; decoded as it is, the stored bytes.
    EXPECT_TRUE(codec.encode(broken.data(), 4, true, false, &out, &flags2) == 4 && out == broken.data() && flags2 == 0);
    EXPECT_TRUE(codec.decode(broken.data(), 4, 0x80, &out, &outLen) == 4 && out == broken.data());
    ORVtapeCodec taken = std::move(codec);
    EXPECT_TRUE(codec.length("x", 1, 0) == ORVTAPE_ERR_NOT_OPEN && taken.length("x", 1, 0) == 1);
    // The C functions against the methods, call for call: the same results and the same images.
    TempDir dir;
    const std::string pc = dir.path("c.tape"), pp = dir.path("cpp.tape");
    const Bytes d = compressible(300), big = pattern(70000);
    orvTapeCodecHandle h = orvTapeCodecCreate();
    orvTapeWriterHandle cw = orvTapeWriterCreate();
    orvTapeReaderHandle cr = orvTapeReaderCreate();
    ORVtapeWriter w;
    ORVtapeReader r;
    const unsigned char* st[2];
    orvTapeBlockInfo bc = ORVTAPE_BLOCK_INFO_INIT, bp = ORVTAPE_BLOCK_INFO_INIT;
    orvTapeChainReport rc = ORVTAPE_CHAIN_REPORT_INIT, rp = ORVTAPE_CHAIN_REPORT_INIT;
    orvTapeWriterSetMaxSegLen(cw, 0), w.setMaxSegLen(0);  // 65535 in both
    orvTapeWriterSetEncrypt(cw, true), w.setEncrypt(true), orvTapeWriterSetSync(cw, true), w.setSync(true);
    orvTapeWriterSetMaxRecordSize(cw, 5 << 20), w.setMaxRecordSize(5 << 20);
    const long long pairs[][2] = {
        {orvTapeCodecEncode(h, d.data(), 300, true, true, &st[0], &flags2), taken.encode(d.data(), 300, true, true, &st[1], &flags2)},
        {orvTapeCodecLength(h, st[0], 5, 0x83), taken.length(st[1], 5, 0x83)},
        {orvTapeWriterWrite(cw, big.data(), 70000), w.write(big.data(), 70000)},
        {orvTapeWriterOpen(cw, pc.c_str(), 0, 0), w.open(pp.c_str(), 0, 0)}, {orvTapeWriterOpen(cw, pc.c_str(), 1, 0), w.open(pp.c_str(), 1, 0)},
        {orvTapeWriterOpen(cw, pc.c_str(), 0, 0), w.open(pp.c_str(), 0, 0)}, {orvTapeWriterWrite(cw, big.data(), 70000), w.write(big.data(), 70000)},
        {orvTapeWriterWTM(cw, 2), w.wtm(2)}, {orvTapeWriterWriteStored(cw, d.data(), 30, 0x80), w.writeStored(d.data(), 30, 0x80)},
        {orvTapeWriterWriteBlock(cw, &bc), w.writeBlock(&bp)}, {orvTapeWriterFlush(cw), w.flush()},
        {orvTapeWriterGetPosition(cw), w.position()}, {orvTapeWriterClose(cw), w.close()},
        {orvTapeWriterOpen(cw, pc.c_str(), ORVTAPE_AT_END, 0), w.open(pp.c_str(), ORVTAPE_AT_END, 0)},
        {orvTapeWriterGetPosition(cw), w.position()}, {orvTapeWriterWrite(cw, nullptr, 1), w.write(nullptr, 1)},
        {orvTapeWriterGetLastErrno(cw), w.lastErrno()}, {orvTapeWriterClose(cw), w.close()},
        {orvTapeReaderNext(cr, &bc, ORVTAPE_READ_PASS), r.next(&bp, ORVTAPE_READ_PASS)},
        {orvTapeReaderOpen(cr, pc.c_str()), r.open(pp.c_str())}, {orvTapeReaderNext(cr, &bc, ORVTAPE_READ_DECODE), r.next(&bp, ORVTAPE_READ_DECODE)},
        {orvTapeReaderNext(cr, &bc, ORVTAPE_READ_STORED), r.next(&bp, ORVTAPE_READ_STORED)}, {bc.end, bp.end},
        {orvTapeReaderSeek(cr, bc.offset, 0, 0), r.seek(bp.offset, 0, 0)}, {orvTapeReaderNext(cr, &bc, ORVTAPE_READ_PASS), r.next(&bp, ORVTAPE_READ_PASS)},
        {orvTapeReaderValidate(cr, &rc), r.validate(&rp)}, {rc.headers, rp.headers}, {orvTapeReaderRewind(cr), r.rewind()},
        {orvTapeReaderGetLastErrno(cr), r.lastErrno()}, {orvTapeReaderClose(cr), r.close()},
    };
    for (const auto& pr : pairs) EXPECT_EQ(pr[0], pr[1]) << &pr - pairs;
    EXPECT_TRUE(readFile(pc) == readFile(pp) && readFile(pc).size() == 70060 && readFile(pc)[0] == 0xFF && readFile(pc)[1] == 0xFF);
    orvTapeReaderDestroy(cr), orvTapeWriterDestroy(cw), orvTapeCodecDestroy(h);
    const long long nulls[] = {
        orvTapeCodecEncode(nullptr, broken.data(), 1, true, true, &out, &flags2), orvTapeReaderRewind(nullptr),
        orvTapeCodecDecode(nullptr, broken.data(), 1, 0, &out, &outLen), orvTapeReaderOpen(nullptr, "x"),
        orvTapeReaderNext(nullptr, nullptr, ORVTAPE_READ_PASS), orvTapeWriterWrite(nullptr, "x", 1),
        orvTapeWriterWTM(nullptr, 1), orvTapeWriterClose(nullptr), orvTapeReaderClose(nullptr),
        orvTapeReaderSeek(nullptr, 0, 0, 0), orvTapeReaderValidate(nullptr, nullptr), orvTapeChainCheck(nullptr, d.data(), nullptr),
        orvTapeWriterOpen(nullptr, "x", 0, 0), orvTapeWriterFlush(nullptr), orvTapeCodecLength(nullptr, "x", 1, 0),
        orvTapeWriterWriteStored(nullptr, "x", 1, 0), orvTapeReaderOpenFd(nullptr, 0), orvTapeWriterWriteBlock(nullptr, nullptr)};
    for (long long n : nulls) EXPECT_EQ(n, ORVTAPE_ERR_ARGUMENT);
    EXPECT_TRUE(orvTapeWriterGetPosition(nullptr) == -1 && !orvTapeWriterGetLastErrno(nullptr) && !orvTapeReaderGetLastErrno(nullptr));
    const auto descriptors = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
    const auto before = descriptors();
    { ORVtapeReader gone; EXPECT_EQ(gone.open("/dev/null"), 0); }  // the reader closes what it opened
    EXPECT_EQ(descriptors(), before);
    ORVtapeReader idle;  // not open, or refused: nothing to read
    orvTapeBlockInfo b = ORVTAPE_BLOCK_INFO_INIT;
    EXPECT_TRUE(idle.next(&b, ORVTAPE_READ_PASS) == ORVTAPE_ERR_NOT_OPEN && idle.seek(0, 0, 0) == ORVTAPE_ERR_NOT_OPEN && idle.close() == 0 &&
                idle.open("/nonexistent/x") == ORVTAPE_ERR_IO && idle.lastErrno() == ENOENT && idle.open("/") == ORVTAPE_ERR_IO &&
                idle.lastErrno() == EISDIR && descriptors() == before && idle.validate(&rc) == ORVTAPE_ERR_NOT_OPEN &&
                idle.openFd(-1) == ORVTAPE_ERR_IO && idle.lastErrno() == EBADF);
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
            if (rc != ORVTAPE_ERR_IO || w.lastErrno() != EFBIG || w.wtm(1) != ORVTAPE_ERR_STOPPED || w.flush() != ORVTAPE_ERR_IO) return 2;
            return fileSize(path) == w.position() && w.position() % span == 0 && w.position() > 3000000 ? 0 : 3;
        }), 0);
        Mounted m(readFile(path), true);
        EXPECT_EQ(m.t.validate(nullptr, nullptr, nullptr, nullptr), fileSize(path) / span * (span - c.len) / 6);
    }
    ORVtapeWriter w;  // refusals before anything is written, in the drive's order
    EXPECT_TRUE(w.write("x", 1) == ORVTAPE_ERR_NOT_OPEN && w.write(nullptr, 4194305) == ORVTAPE_ERR_TOO_LONG &&
                w.writeStored("x", 1, 0) == ORVTAPE_ERR_NOT_OPEN && w.writeBlock(nullptr) == ORVTAPE_ERR_ARGUMENT && w.position() == -1);
    TempDir dir;
    const std::string n = dir.path("n.tape");
    EXPECT_TRUE(w.close() == 0 && w.open(n.c_str(), 0, 0) == 0 && w.write(nullptr, 5) == ORVTAPE_ERR_ARGUMENT && w.close() == 0 && fileSize(n) == 0);
    const std::string missing = dir.path("m.tape");  // only the load point makes a file
    EXPECT_TRUE(w.open(missing.c_str(), 42, 20) == ORVTAPE_ERR_IO && access(missing.c_str(), F_OK) != 0);
    // An offset and prevLen that do not meet at a header, or a chain cut short, are no place to append.
    writeFile(n, segment(10, 0, 0xA0) + segment(20, 10, 0xA0) + header(0, 20, 0x40, 0));
    for (long long at : {0LL, 16LL, 48LL, 43LL, 49LL}) EXPECT_EQ(w.open(n.c_str(), at, 20), ORVTAPE_ERR_ARGUMENT) << at;
    EXPECT_TRUE(w.open(n.c_str(), 42, 20) == 0 && w.open(n.c_str(), 48, 0) == 0 && w.open(n.c_str(), ORVTAPE_AT_END, 0) == 0 && w.position() == 48);
    ORVtapeWriter later(std::move(w));
    EXPECT_TRUE(w.write("x", 1) == ORVTAPE_ERR_NOT_OPEN && w.position() == -1 && later.write("x", 1) == 1 && later.close() == 0);
    w = std::move(later);  // and back by assignment, which leaves the other one empty
    writeFile(n, readFile(n) + header(9, 1, 0xA0, 0));
    EXPECT_TRUE(later.position() == -1 && w.open(n.c_str(), ORVTAPE_AT_END, 0) == ORVTAPE_ERR_TRUNCATED && w.position() == -1);
    // Killed at any moment, an append leaves the old prefix and whole new blocks, the last perhaps cut short.
    writeFile(n, readFile(n) + Bytes(8 << 20, 0x5A));  // an old tail longer than several write-outs
    const Bytes old = readFile(n);
    std::srand(static_cast<unsigned>(time(nullptr)));
    const pid_t child = fork();
    if (child == 0) {
        ORVtapeWriter a;
        if (a.openFd(::open(n.c_str(), O_RDWR), 42, 20) != 0) _exit(1);  // the writer works on a duplicate of its own
        for (unsigned i = 0; i < 5000; ++i) a.write(blockData(i, 1000 + i).data(), 1000 + i);
        _exit(a.close() == 0 ? 0 : 2);
    }
    const int fd = ::open(n.c_str(), O_RDONLY);  // killed soon after the image first changes
    for (unsigned char h[6]; pread(fd, h, 6, 42) == 6 && std::equal(h, h + 6, old.begin() + 42) && !waitpid(child, nullptr, WNOHANG);) usleep(100);
    usleep(static_cast<useconds_t>(std::rand() % 10000));
    kill(child, SIGKILL);
    ASSERT_TRUE(waitpid(child, nullptr, 0) == child && ::close(fd) == 0);
    ORVtapeReader r;
    orvTapeBlockInfo b = ORVTAPE_BLOCK_INFO_INIT;
    orvTapeChainReport report = ORVTAPE_CHAIN_REPORT_INIT;
    const Bytes after = readFile(n);
    ASSERT_TRUE(r.open(n.c_str()) == 0 && std::equal(old.begin(), old.begin() + 42, after.begin()) && r.seek(42, 2, 0) == 0);
    int rc = ORVTAPE_END;  // the image as it was while no bytes went out
    for (unsigned i = 0; after != old && (rc = r.next(&b, ORVTAPE_READ_DECODE)) >= 0; ++i) ASSERT_TRUE(Bytes(b.data, b.data + b.dataLength) == blockData(i, 1000 + i)) << i;
    const int v = after == old ? ORVTAPE_OK : r.validate(&report);  // a payload cut short at the end is no chain defect
    EXPECT_TRUE((rc == ORVTAPE_END || rc == ORVTAPE_ERR_TRUNCATED) && (v == ORVTAPE_OK || v == ORVTAPE_ERR_TRUNCATED)) << rc << v;
}
