// volume.cpp - walking a volume block by block.
#include "volume.h"

namespace orvtool {

ToolError readError(const std::string& path, const ORVtape& tape, long long offset, int code) {
    return readError(path, tape.blockID, tape.lastErrno, offset, code);
}

ToolError readError(const std::string& path, int blockID, int err, long long offset, int code) {
    return ToolError(path, "block " + std::to_string(blockID) + " at offset " + std::to_string(offset) +
                               ": " + readMessage(code) + " " + cause(code, err));
}

void openReader(ORVtapeReader& reader, const std::string& path) {
    if (reader.open(path.c_str()) != 0)
        throw ToolError(path, "cannot open the image " + cause(-1, reader.lastErrno()), kExitUsage);
}

bool isEndMark(ORVtape& tape, bool prevWasTapemark) {
    tape.getPosition();
    return prevWasTapemark && tape.curPos >= imageSize(tape);
}

int skipBlock(ORVtape& tape, long long size, int* length) {
    tape.getPosition();
    long long at = tape.curPos;
    int blockID = tape.blockID, fileNumber = tape.fileNumber;
    int rc = tape.readBlk(nullptr, 0, length);
    if (rc < 0) return rc;
    tape.getPosition();
    if (tape.curPos <= size) return rc;
    tape.setPosition(at);
    tape.blockID = blockID;
    tape.fileNumber = fileNumber;
    return -12;
}

int readWhole(ORVtape& tape, std::vector<char>& buf) {
    tape.getPosition();
    long long at = tape.curPos;
    int blockID = tape.blockID;
    int rc = tape.read(buf.data(), static_cast<unsigned>(buf.size()));
    if (rc <= 0 || static_cast<size_t>(rc) <= buf.size()) return rc;
    tape.setMaxRecordSize(rc);
    buf.resize(static_cast<size_t>(rc));
    tape.setPosition(at);
    tape.blockID = blockID;  // a data block: only the block number moved
    return tape.read(buf.data(), static_cast<unsigned>(buf.size()));
}

VolumeEnd walkToEnd(ORVtape& tape, const std::string& path) {
    VolumeEnd end;
    tape.rew();
    long long size = imageSize(tape);
    bool prevTm = true;
    for (;;) {
        tape.getPosition();
        long long at = tape.curPos;
        int rc = skipBlock(tape, size, nullptr);
        if (rc == -2 && at >= size) break;
        if (rc < 0) throw readError(path, tape, at, rc);
        ++end.blocks;
        end.endsInTapemark = rc == 0;
        end.hasEndMark = rc == 0 && isEndMark(tape, prevTm);
        prevTm = rc == 0;
    }
    return end;
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
