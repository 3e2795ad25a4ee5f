// walk.cpp - the block walk over a volume, and how its failures read.
#include "image/walk.h"

#include "base/error.h"
#include "image/messages.h"

#include <ORVtape.h>

namespace orvtool {

int Failure::driveCode() const {
    if (refusal != Refusal::None) return 0;
    switch (code) {
    case ORVTAPE_ERR_IO: return -2;
    case ORVTAPE_ERR_TRUNCATED: return headerCut ? -2 : -12;
    case ORVTAPE_ERR_FLAGS: return -3;
    case ORVTAPE_ERR_CHAIN: return -10;
    case ORVTAPE_ERR_DECODE: return -12;
    default: return code;
    }
}

std::string Failure::sentence() const {
    const std::string where = "block " + std::to_string(number) + " at offset " + std::to_string(offset);
    switch (refusal) {
    case Refusal::OverLimit:
        return where + " claims " + std::to_string(claim) + " bytes, more than --max-block (" +
               std::to_string(limit) + ")";
    case Refusal::EmptyCompressed: return where + ": a compressed block whose length prefix says 0";
    case Refusal::None: break;
    }
    return where + ": " + readMessage(driveCode()) + " " + cause(driveCode(), err);
}

const char* transformName(unsigned char flags2) {
    switch (flags2 & (HF2_BZ2 | HF2_SCRAMBLE)) {
    case HF2_BZ2: return "compressed";
    case HF2_SCRAMBLE: return "scrambled";
    case HF2_BZ2 | HF2_SCRAMBLE: return "compressed+scrambled";
    default: return "plain";
    }
}

BlockWalk::BlockWalk(const Volume& volume, ReadMode mode) : volume_(volume), maxBlock_(volume.limits().maxBlock) {
    setMode(mode);
    // The very file the volume holds open (and locked), even when it came
    // on standard input or was renamed since.
    if (reader_.openFd(volume.fd()) != ORVTAPE_OK)
        throw ToolError(volume.name(), "cannot open the image " + cause(-1, reader_.lastErrno()), kExitUsage);
    reader_.setBlockLimit(static_cast<long long>(volume.limits().maxBlock));
}

// One block by the reader, judged by the tool's limits too: its length (0 a
// tapemark, ORVTAPE_END), or false with f set and the reader at the block.
bool BlockWalk::read(orvTapeReadMode mode, int& length, Failure& f) {
    length = reader_.next(&info_, mode);
    if (length == ORVTAPE_END) return true;
    const unsigned long long max = maxBlock_;
    // The walk's common case first: a block within the limit, or a tapemark.
    if ((length > 0 && static_cast<unsigned long long>(length) <= max) || (length == 0 && info_.tapemark)) {
        position_ = info_.end;
        return true;
    }
    f = Failure{};
    f.offset = info_.offset;
    f.number = info_.blockNumber;
    if (length == ORVTAPE_ERR_TOO_LONG || (length > 0 && static_cast<unsigned long long>(length) > max)) {
        f.refusal = Refusal::OverLimit;
        f.claim = static_cast<unsigned long long>(length > 0 ? length : info_.length);
        f.limit = max;
    } else if (length == 0 && !info_.tapemark) {
        f.refusal = Refusal::EmptyCompressed;
    } else {
        f.code = length;
        f.err = reader_.lastErrno();
        f.headerCut = info_.headerCut;
    }
    reader_.seek(info_.offset, info_.blockNumber, info_.fileNumber);
    return false;
}

void BlockWalk::fill(Block& b, int length) const {
    // Every field set, none cleared first: this runs once a block.
    b.kind = info_.tapemark ? Kind::Mark : Kind::Data;
    b.length = static_cast<std::size_t>(length);
    b.data = info_.data;
    b.stored = info_.stored;
    b.storedLength = info_.storedLength;
    const unsigned char flags2 = info_.tapemark ? 0 : info_.flags2;
    b.packing = flags2 & HF2_BZ2 ? Packing::Bzip2 : Packing::None;
    b.scrambled = (flags2 & HF2_SCRAMBLE) != 0;
    b.readError = false;
    b.isLabel = false;
    b.offset = info_.offset;
    b.number = info_.blockNumber;
}

bool BlockWalk::advance(Block* b, Step& s, Failure& f) {
    int length;
    if (!read(mode_, length, f)) {
        prevMark_ = false;
        return false;
    }
    if (length == ORVTAPE_END) {
        if (b) {
            *b = Block{};
            b->offset = position_;
            b->number = info_.blockNumber;
        }
        s = Step::EndOfData;
        return true;
    }
    if (b) fill(*b, length);
    if (length > 0) {
        s = Step::Block;
    } else {
        // The end-of-volume rule of volume.h, here alone.
        s = prevMark_ && info_.end >= volume_.size() ? Step::EndMark : Step::FileMark;
    }
    prevMark_ = length == 0;
    return true;
}

void BlockWalk::throwFailed() const { throw ReadError(volume_.name(), failed_, advice_); }

bool BlockWalk::passFailed() {
    int length;
    Failure f;
    return read(ORVTAPE_READ_PASS, length, f) && length != ORVTAPE_END;
}

int BlockWalk::reread(std::vector<unsigned char>& out) {
    orvTapeBlockInfo again = ORVTAPE_BLOCK_INFO_INIT;
    reader_.seek(info_.offset, info_.blockNumber, info_.fileNumber);
    const int rc = reader_.next(&again, ORVTAPE_READ_DECODE);
    if (rc > 0) out.assign(again.data, again.data + again.dataLength);
    reader_.seek(info_.end, info_.blockNumber + 1, info_.fileNumber);
    return rc;
}

void BlockWalk::rewind() {
    reader_.rewind();
    position_ = 0;
    prevMark_ = true;
}

void BlockWalk::seek(long long offset) {
    reader_.seek(offset, 0, 0);
    position_ = offset;
    prevMark_ = false;
}

int BlockWalk::validate(orvTapeChainReport& report) {
    report.size = sizeof report;
    return reader_.validate(&report);
}

std::string BlockWalk::chainFault() {
    orvTapeChainReport report = ORVTAPE_CHAIN_REPORT_INIT;
    return validate(report) == ORVTAPE_OK ? "" : cause(report.driveCode, reader_.lastErrno());
}

std::string BlockWalk::storedForm() const {
    return "stored " + std::to_string(info_.storedLength) + "  segments " + std::to_string(info_.segments) + "  " +
           transformName(info_.flags2);
}

std::string chainFault(int fd) {
    ORVtapeReader reader;
    orvTapeChainReport report = ORVTAPE_CHAIN_REPORT_INIT;
    if (reader.openFd(fd) != ORVTAPE_OK) return cause(-1, reader.lastErrno());
    return reader.validate(&report) == ORVTAPE_OK ? "" : cause(report.driveCode, reader.lastErrno());
}

bool chainHolds(const std::string& path) {
    ORVtapeReader reader;
    orvTapeChainReport report = ORVTAPE_CHAIN_REPORT_INIT;
    return reader.open(path.c_str()) == ORVTAPE_OK && reader.validate(&report) == ORVTAPE_OK;
}

}  // namespace orvtool
