// volume.cpp - walking a volume block by block.
#include "volume.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace orvtool {

unsigned long long maxBlockBytes = 64ull << 20;
ReadFailure lastReadFailure;

namespace {
ToolError blockError(const std::string& path, long long blockID, long long offset, int code) {
    std::string where = "block " + std::to_string(blockID) + " at offset " + std::to_string(offset);
    if (code == kOverLimit)
        return ToolError(path, where + " claims " + std::to_string(lastReadFailure.claim) +
                                   " bytes, more than --max-block (" +
                                   std::to_string(maxBlockBytes) + ")");
    if (code == kEmptyCompressed)
        return ToolError(path, where + ": a compressed block whose length prefix says 0");
    return ToolError(path, where + ": " + readMessage(code) + " " + cause(code, lastReadFailure.err));
}
}  // namespace

int driveReadCode(int result) {
    switch (result) {
    case ORVTAPE_ERR_ARGUMENT:
    case ORVTAPE_ERR_NOT_OPEN: return -1;
    case ORVTAPE_END:
    case ORVTAPE_ERR_IO: return -2;
    case ORVTAPE_ERR_TRUNCATED: return lastReadFailure.headerCut ? -2 : -12;
    case ORVTAPE_ERR_FLAGS: return -3;
    case ORVTAPE_ERR_CHAIN: return -10;
    case ORVTAPE_ERR_DECODE: return -12;
    case ORVTAPE_ERR_TOO_LONG: return -13;
    default: return result;
    }
}

ToolError readError(const std::string& path, const ORVtape& tape, long long offset, int code) {
    return blockError(path, tape.blockID, offset, code);
}

ToolError readError(const std::string& path, long long blockNumber, long long offset, int result) {
    return blockError(path, blockNumber, offset, driveReadCode(result));
}

bool isEndMark(ORVtape& tape, bool prevWasTapemark) {
    tape.getPosition();
    return prevWasTapemark && tape.curPos >= imageSize(tape);
}

namespace {
int refuse(int code, unsigned long long claim) {
    lastReadFailure = ReadFailure{0, claim, false};
    return code;
}

// Whether the block at offset start of the image open on fd, which is cut
// short, ends inside one of its headers rather than inside a payload.  A
// pass over a plain block reads no payload but the last's presence, so it
// finds any other cut at the header that follows.
bool cutInHeader(int fd, long long start, bool passing) {
    unsigned char h[6], last;
    for (long long at = start;; at += 6 + (h[0] | h[1] << 8)) {
        if (pread(fd, h, 6, at) != 6) return true;
        const unsigned len = h[0] | h[1] << 8;
        if (len == 0 || (h[4] & (HF1_TM | HF1_EOR))) return false;
        if ((!passing || (h[5] & HF2_XFORM)) && pread(fd, &last, 1, at + 5 + len) != 1) return false;
    }
}

// admitBlock for the block at offset start of the image open on fd; complete
// receives its stored bytes when its whole header chain was read, else 0.
int admitAt(int fd, long long start, bool deliver, unsigned long long* delivers,
            unsigned long long* complete) {
    *complete = 0;
    unsigned char h[6];
    if (pread(fd, h, 6, start) != 6 || (h[4] & HF1_TM) || !(h[5] & HF2_XFORM)) return 0;
    // A plain block goes straight into the caller's buffer; a transformed one
    // is gathered into work buffers, which must hold its stored bytes.  The
    // whole chain is walked (headers only), so that a refusal names the
    // block's length, not where the walk passed the limit.
    const unsigned char flags2 = h[5];
    unsigned long long stored = 0;
    bool whole = false;
    for (long long at = start;;) {
        unsigned len = h[0] | h[1] << 8;
        stored += len;
        if ((h[4] & HF1_EOR) || len == 0) {
            whole = true;
            break;
        }
        at += 6 + len;
        if (pread(fd, h, 6, at) != 6) break;
    }
    const bool over = stored > maxBlockBytes;
    if (!whole && !over) return 0;  // the read will report it
    unsigned long long claim = stored;
    if (flags2 & HF2_BZ2) {
        unsigned char p[5] = {};
        const bool scrambled = flags2 & HF2_SCRAMBLE;
        ssize_t got = pread(fd, p, sizeof p, start + 6);
        claim = 0;
        int i = 0;
        for (; i < got; ++i) {
            unsigned char b = scrambled ? static_cast<unsigned char>(p[i] ^ (0xFF - i)) : p[i];
            claim |= static_cast<unsigned long long>(b & 0x7F) << (7 * i);
            if (b & 0x80) break;
        }
        if (i == got) return over ? refuse(kOverLimit, stored) : 0;  // no prefix: the read will report it
        if (claim == 0) return refuse(kEmptyCompressed, 0);
    }
    if (over || (deliver && claim > maxBlockBytes)) return refuse(kOverLimit, std::max(claim, stored));
    if (delivers) *delivers = claim;
    *complete = stored;
    return 0;
}

}  // namespace

int admitBlock(ORVtape& tape, bool deliver, unsigned long long* delivers) {
    tape.getPosition();
    unsigned long long stored = 0;
    int rc = admitAt(tape.fd, tape.curPos, deliver, delivers, &stored);
    if (rc == 0 && stored > static_cast<unsigned long long>(tape.maxRecordSize))
        tape.setMaxRecordSize(static_cast<int>(stored));
    return rc;
}

VolumeStream::VolumeStream(ORVtape& tape, const std::string& path)
    : path_(path), fd(tape.fd), room(tape.maxRecordSize) {
    // The very file the drive mounted (and locked), even when it came on
    // standard input or was renamed since.
    if (reader.openFd(tape.fd) != ORVTAPE_OK)
        throw ToolError(path, "cannot open the image " + cause(-1, reader.lastErrno()), kExitUsage);
    reader.setMaxRecordSize(room);
}

// Back to the block, to read it again or to leave the walk there.
int VolumeStream::again(const orvTapeBlockInfo& b, int code) {
    reader.seek(b.offset, b.blockNumber, b.fileNumber);
    return code;
}

int VolumeStream::read(orvTapeBlockInfo& b, orvTapeReadMode mode, bool deliver) {
    const unsigned long long max = maxBlockBytes;
    const bool whole = mode != ORVTAPE_READ_PASS;  // read as the drive's read does, not passed over
    b.size = sizeof b;
    for (;;) {
        int rc = reader.next(&b, mode);
        const bool xform = rc >= 0 && !b.tapemark && (b.flags2 & HF2_XFORM);
        // The look admitBlock takes before the drive reads, taken only where
        // it could refuse the block or raise the record limit.
        if (rc < 0 || (xform && (b.storedLength > max || rc == 0 ||
                                 (deliver && static_cast<unsigned long long>(rc) > max)))) {
            unsigned long long stored = 0;
            int refused = admitAt(fd, b.offset, deliver, nullptr, &stored);
            if (refused < 0) return again(b, refused);
            if (rc < 0 && stored > static_cast<unsigned long long>(room)) {
                room = static_cast<int>(stored);
                reader.setMaxRecordSize(room);
                again(b, 0);
                continue;
            }
        }
        if (xform && b.storedLength > static_cast<unsigned>(room)) {
            room = static_cast<int>(b.storedLength);
            reader.setMaxRecordSize(room);
        }
        if (rc < 0) {
            const bool headerCut = rc == ORVTAPE_ERR_TRUNCATED && cutInHeader(fd, b.offset, !whole);
            lastReadFailure = ReadFailure{reader.lastErrno(), 0, headerCut};
            return rc;
        }
        if (!xform && static_cast<unsigned long long>(rc) > max)  // a plain block as long as it is
            return again(b, refuse(kOverLimit, static_cast<unsigned long long>(rc)));
        if (whole && rc > room) {
            // Longer than the buffer it went into: the whole of it once more.
            if (static_cast<unsigned long long>(rc) > max)
                return again(b, refuse(kOverLimit, static_cast<unsigned long long>(rc)));
            room = rc;
            reader.setMaxRecordSize(room);
            again(b, 0);
            continue;
        }
        position_ = b.end;
        return rc;
    }
}

ToolError VolumeStream::failure(long long number, long long offset, int code, const char* advice) const {
    ToolError e = readError(path_, number, offset, code);
    return *advice ? ToolError("", e.what() + std::string(advice)) : e;
}

bool VolumeStream::nextOrEnd(orvTapeBlockInfo& b, int& length, const char* advice) {
    length = nextStored(b);
    if (length == ORVTAPE_END) return false;
    if (length < 0) throw failure(b.blockNumber, b.offset, length, advice);
    return true;
}

bool VolumeStream::passOrEnd(orvTapeBlockInfo& b, int& length) {
    length = next(b, false, false);
    if (length == ORVTAPE_END) return false;
    if (length < 0) throw failure(b.blockNumber, b.offset, length, "");
    return true;
}

int VolumeStream::reread(const orvTapeBlockInfo& b, std::vector<unsigned char>& out) {
    orvTapeBlockInfo again = ORVTAPE_BLOCK_INFO_INIT;
    reader.seek(b.offset, b.blockNumber, b.fileNumber);
    const int rc = reader.next(&again, ORVTAPE_READ_DECODE);
    if (rc > 0) out.assign(again.data, again.data + again.dataLength);
    reader.seek(b.end, b.blockNumber + 1, b.fileNumber);
    return rc;
}

bool VolumeStream::fill(Slot& s, bool decode, const char* advice) {
    orvTapeBlockInfo b;
    if (!nextOrEnd(b, s.length, advice)) return false;
    loadSlot(b, s.length, s);
    s.transform = decode && s.flags2 != 0;
    return true;
}

void VolumeStream::checkDecoded(const Slot& s, const char* advice) const {
    if (!s.transform || s.rc >= 0) return;
    lastReadFailure = ReadFailure{};
    throw failure(s.number, s.offset, s.rc, advice);
}

unsigned storedForm(const orvTapeBlockInfo& b, int length, std::vector<unsigned char>& buf, unsigned char& flags2) {
    // Flags2 with the transform flag alone describe a plain block.
    const bool xform = length > 0 && (b.flags2 & (HF2_BZ2 | HF2_SCRAMBLE));
    const unsigned char* from = xform ? b.stored : b.data;
    const unsigned n = xform ? b.storedLength : static_cast<unsigned>(length);
    if (buf.size() < n) buf.resize(n);
    if (n > 0) std::memcpy(buf.data(), from, n);
    flags2 = xform ? b.flags2 : 0;
    return n;
}

void loadSlot(const orvTapeBlockInfo& b, int length, Slot& s) {
    s.length = length;
    s.offset = b.offset;
    s.number = b.blockNumber;
    s.inLength = storedForm(b, length, s.in, s.flags2);
}

void decodeWork(Slot& s, ORVtapeCodec& codec) {
    // The whole block, as the walk delivers it after raising its record limit.
    codec.setMaxRecordSize(s.length);
    const unsigned char* data = nullptr;
    unsigned n = 0;
    const int rc = codec.decode(s.in.data(), s.inLength, s.flags2, &data, &n);
    s.rc = rc < 0 ? ORVTAPE_ERR_DECODE : rc;  // as the reader says of a payload that does not decode
    if (rc < 0) return;
    if (s.out.size() < n) s.out.resize(n);
    std::memcpy(s.out.data(), data, n);
    s.outLength = n;
    s.outFlags2 = 0;
}

DecodedWalk::DecodedWalk(VolumeStream& volume, int jobs, int maxRecordSize)
    : volume_(volume), pipe_(jobs, maxRecordSize, decodeWork),
      fill_([this](Slot& s) { return volume_.fill(s, true); }) {}

bool DecodedWalk::next(DecodedBlock& b) {
    if (pipe_.inFlight() == 0 && more_) {
        orvTapeBlockInfo info;
        int length;
        if (!(more_ = volume_.nextOrEnd(info, length))) return false;
        if (length == 0 || !(info.flags2 & (HF2_BZ2 | HF2_SCRAMBLE))) {
            b = DecodedBlock{length, info.data, 0, info.offset};
            return true;
        }
        Slot& s = *pipe_.acquire();
        loadSlot(info, length, s);
        s.transform = true;
        pipe_.submit(s);
    }
    if (more_) more_ = pipe_.feed(fill_);
    const Slot* s = pipe_.collect();
    if (!s) return false;
    volume_.checkDecoded(*s);
    b = DecodedBlock{s->length, s->transform ? s->out.data() : s->in.data(), s->flags2, s->offset};
    return true;
}

int skipBlock(ORVtape& tape, long long size, int* length) {
    int rc = admitBlock(tape, false);
    if (rc < 0) return rc;
    tape.getPosition();
    long long at = tape.curPos;
    int blockID = tape.blockID, fileNumber = tape.fileNumber;
    errno = 0;
    rc = tape.readBlk(nullptr, 0, length);
    if (rc < 0) {
        lastReadFailure = ReadFailure{errno, 0};
        return rc;
    }
    tape.getPosition();
    const bool cut = tape.curPos > size;  // its last segment runs past the end of the file
    if (!cut && static_cast<unsigned long long>(rc) <= maxBlockBytes) return rc;
    tape.setPosition(at);
    tape.blockID = blockID;
    tape.fileNumber = fileNumber;
    if (!cut) return refuse(kOverLimit, static_cast<unsigned long long>(rc));
    lastReadFailure = ReadFailure{};
    return -12;
}

int skipBlocks(ORVtape& tape, long long size, long long count) {
    for (long long i = 0; i < count; ++i) {
        int rc = skipBlock(tape, size, nullptr);
        if (rc < 0) return rc;
    }
    return 0;
}

int readWhole(ORVtape& tape, std::vector<char>& buf) {
    unsigned long long delivers = 0;
    int rc = admitBlock(tape, true, &delivers);
    if (rc < 0) return rc;
    if (delivers > buf.size()) buf.resize(static_cast<size_t>(delivers));  // decode once
    tape.getPosition();
    long long at = tape.curPos;
    int blockID = tape.blockID;
    errno = 0;
    rc = tape.read(buf.data(), static_cast<unsigned>(buf.size()));
    if (rc > 0 && static_cast<unsigned long long>(rc) > maxBlockBytes) {
        tape.setPosition(at);
        tape.blockID = blockID;
        return refuse(kOverLimit, static_cast<unsigned long long>(rc));
    }
    if (rc > 0 && static_cast<size_t>(rc) > buf.size()) {
        buf.resize(static_cast<size_t>(rc));
        tape.setPosition(at);
        tape.blockID = blockID;  // a data block: only the block number moved
        errno = 0;
        rc = tape.read(buf.data(), static_cast<unsigned>(buf.size()));
    }
    if (rc < 0) lastReadFailure = ReadFailure{tape.lastErrno, 0};
    return rc;
}

BlockLayout blockLayout(ORVtape& tape) {
    BlockLayout b;
    tape.getPosition();
    b.offset = tape.curPos;
    long long at = b.offset;
    unsigned char h[6];
    for (;;) {
        if (!tape.setPosition(at) || tape.readHdr(h) != 0) break;
        unsigned len = h[0] | h[1] << 8;
        if (b.segments == 0) {
            b.tapemark = (h[4] & HF1_TM) != 0;
            b.xform = h[5] & (HF2_BZ2 | HF2_SCRAMBLE);
        }
        ++b.segments;
        b.stored += len;
        if (b.tapemark || (h[4] & HF1_EOR)) break;
        at += 6 + len;
    }
    tape.setPosition(b.offset);
    return b;
}

const char* transformName(int xform) {
    switch (xform & (HF2_BZ2 | HF2_SCRAMBLE)) {
    case HF2_BZ2: return "compressed";
    case HF2_SCRAMBLE: return "scrambled";
    case HF2_BZ2 | HF2_SCRAMBLE: return "compressed+scrambled";
    default: return "plain";
    }
}

}  // namespace orvtool
