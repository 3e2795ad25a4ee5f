// Backward motion: stepping back over whole blocks along the prevLen chain,
// back-spacing records and files, reading a block backwards, and locate.
#include "internal.h"

#include <cstring>

int ORVtape::backSpaceBlock(int* blockLen) {
    orv::refreshPosition(*this);
    const long long start = curPos;
    const orv::HeaderFields before = orv::HeaderFields::of(*this);
    auto fail = [&](int code) {
        setPosition(start);
        before.restore(*this);
        lastRC = code;
        return code;
    };

    unsigned char hdr[orv::kHeaderSize];
    long long pos = start;
    long long sum = 0;
    bool first = true;
    for (;;) {
        const int rc = orv::readPrevHdrAt(*this, hdr, pos);
        if (rc != 0) return fail(rc);
        pos = hdrPos;
        orv::notePosition(*this, pos);
        const unsigned char flags1 = hdr[4];
        if (flags1 & HF1_TM) {
            if (first && !(flags1 & (HF1_BOR | HF1_EOR))) break;
            return fail(-10);
        }
        // The first header met ends the block; no later one may.
        if (first != static_cast<bool>(flags1 & HF1_EOR)) return fail(-10);
        sum += orv::curLenOf(hdr);
        if (sum > INT_MAX) return fail(-10);
        first = false;
        if (flags1 & HF1_BOR) break;
    }
    if (!setPosition(pos)) return fail(-11);
    if (blockID < 1) return fail(-14);
    --blockID;
    orv::notePosition(*this, pos);
    tapemark = sum == 0;
    if (tapemark && fileNumber > 0) --fileNumber;
    if (blockLen) *blockLen = static_cast<int>(sum);
    lastRC = 0;
    return 0;
}

int ORVtape::bsr(unsigned int count) {
    for (unsigned int i = 0; i < count; ++i)
        if (backSpaceBlock(nullptr) < 0) return lastRC;
    lastRC = 0;
    return 0;
}

int ORVtape::bsf(unsigned int count) {
    while (count > 0) {
        if (backSpaceBlock(nullptr) < 0) return lastRC;
        if (tapemark) --count;
    }
    lastRC = 0;
    return 0;
}

int ORVtape::readBkwd(void* buffer, unsigned int size) {
    orv::refreshPosition(*this);
    const long long end = curPos;
    const int endSegment = curBlkLen;
    int length = 0;
    if (backSpaceBlock(&length) != 0) return lastRC;
    if (length == 0) {
        tapemark = true;
        return 0;
    }
    const long long start = curPos;
    const orv::HeaderFields walked = orv::HeaderFields::of(*this);
    char* room = bkwdBfr.getBfr(length, maxRecordSize);
    const int capacity = bkwdBfr.capacity;
    const int n = read(room, static_cast<unsigned int>(capacity));
    if (n < 0) return lastRC;
    // Stepping back again would start from the same offset and segment
    // length as the first step, and so repeat it read for read: when the
    // forward read ended where the first step began, take its outcome again
    // instead of walking the block's headers a second time.
    if (curPos == end && curBlkLen == endSegment && setPosition(start)) {
        walked.restore(*this);
        --blockID;
        tapemark = false;
        lastRC = 0;
    } else if (backSpaceBlock(nullptr) != 0) {
        return lastRC;
    }
    // A compressed block that expands beyond the staging area (written with a
    // larger maximum record size) cannot be delivered by its end: report it
    // as undeliverable, standing before the block as after any step back.
    if (n > capacity) {
        lastRC = -12;
        return -12;
    }
    if (buffer != nullptr && size > 0) {
        char* out = static_cast<char*>(buffer);
        const unsigned long long len = static_cast<unsigned long long>(n);
        if (len <= size)
            std::memcpy(out + (size - len), room, len);
        else
            std::memcpy(out, room + (len - size), size);
    }
    return n;
}

int ORVtape::locate(int target) {
    const int from = blockID;
    if (fd < 0) return -1;
    if (target < 1) {
        const int rc = rew();
        return rc != 0 ? rc : from;
    }
    if (target == from) return 0;
    while (blockID < target) {
        const int rc = fsr(1);
        if (rc != 0) return rc;
    }
    while (blockID > target) {
        const int rc = bsr(1);
        if (rc != 0) return rc;
    }
    return from;
}
