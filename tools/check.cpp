// check.cpp - orvtape check: the header chain as the library's validate sees
// it, then what a header walk alone cannot see (a last segment running past
// the end of the file, an image ending inside a block, blocks whose payload
// does not read or decompress).  Both passes go through the streaming reader.
#include "orvtape.h"
#include "volume.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <unistd.h>

namespace orvtool {

namespace {

struct Defect {
    long long offset = -1;
    unsigned char header[6] = {};
    int headerBytes = 0;  // how many of header[] were read
    int code = 0;
    std::string message;
};

// Headers along the chain that start before offset `until`.
long long countHeaders(ORVtape& tape, long long until) {
    long long pos = 0, n = 0;
    unsigned char h[6];
    while (pos < until && tape.setPosition(pos) && tape.readHdr(h) == 0) {
        pos += 6 + (h[0] | h[1] << 8);
        ++n;
    }
    return n;
}

// Reads the header bytes at offset, as many as there are.
int headerAt(ORVtape& tape, long long offset, unsigned char h[6]) {
    if (offset < 0) return 0;
    int n = static_cast<int>(pread(tape.fd, h, 6, offset));
    return n < 0 ? 0 : n;
}

// Every block read in full: catches payloads that are cut short or do not
// decompress.  Returns true and fills d at the first block that fails.
bool readAllBlocks(ORVtapeReader& reader, ORVtape& tape, long long size, Defect& d) {
    long long room = tape.maxRecordSize;  // what one block may fill before it is read again
    reader.rewind();
    for (;;) {
        orvTapeBlockInfo b;
        int rc = reader.next(&b, ORVTAPE_READ_DECODE);
        if (rc > room) {
            // Written by a host that raised its block limit: read it again
            // with room for the whole block, and keep that room.
            room = rc;
            reader.setMaxRecordSize(rc);
            reader.seek(b.offset, b.blockNumber, b.fileNumber);
            rc = reader.next(&b, ORVTAPE_READ_DECODE);
        }
        if (rc == -2 && b.offset >= size) return false;
        if (rc >= 0) continue;
        d.offset = b.offset;
        d.code = rc;
        d.headerBytes = headerAt(tape, b.offset, d.header);
        d.message = "block " + std::to_string(b.blockNumber) + " does not read: " + readMessage(rc);
        return true;
    }
}

}  // namespace

int cmdCheck(const Options& o) {
    ORVtape tape;
    mountForReading(tape, o.image);
    long long size = imageSize(tape);
    ORVtapeReader reader;
    openReader(reader, o.image);
    long long last = -1;
    unsigned char hdr[6] = {};
    bool multi = false, compressed = false;
    int rc = reader.validate(&last, hdr, &multi, &compressed);
    long long headers = rc;
    Defect d;
    bool defect = false;

    if (rc < 0) {
        if (rc == -2 && !(last >= 0 && last + 6 > size))
            throw ToolError(o.image, "cannot walk the image " + cause(rc, reader.lastErrno()), kExitUsage);
        defect = true;
        d.offset = last;
        d.code = rc;
        d.headerBytes = headerAt(tape, last, d.header);
        d.message = validateMessage(rc, hdr);
        headers = countHeaders(tape, last);
    } else if (last >= 0) {
        unsigned curLen = hdr[0] | hdr[1] << 8;
        bool isData = (hdr[4] & HF1_TM) == 0;
        long long end = last + 6 + curLen;
        if (end > size) {
            defect = true;
            d.message = "the last segment holds " + std::to_string(curLen) +
                        " payload bytes but only " + std::to_string(size - last - 6) +
                        " remain before the end of the file: the image is cut short";
        } else if (isData && !(hdr[4] & HF1_EOR)) {
            defect = true;
            d.message = "the image ends inside a block: its last segment lacks the "
                        "last-segment flag";
        }
        if (defect) {
            headers = rc - 1;  // the last header itself is at fault
            d.offset = last;
            std::copy(hdr, hdr + 6, d.header);
            d.headerBytes = 6;
        } else {
            defect = readAllBlocks(reader, tape, size, d);
        }
    }

    if (o.json) {
        nlohmann::ordered_json j{{"image", o.image}, {"imageBytes", size},
                                 {"headers", headers}, {"clean", !defect},
                                 {"multiSegment", multi}, {"compressed", compressed}};
        if (defect)
        {
            nlohmann::ordered_json defect{{"offset", d.offset},
                                          {"header", hexBytes(d.header, d.headerBytes)}};
            if (d.code != 0) defect["code"] = d.code;  // only codes from the library
            defect["message"] = d.message;
            j["defect"] = defect;
        }
        std::printf("%s\n", j.dump(2).c_str());
    } else if (!defect) {
        std::printf("%s: %lld headers, clean\n", o.image.c_str(), headers);
    } else {
        std::printf("%s: defect after %lld good header%s\n", o.image.c_str(), headers,
                    headers == 1 ? "" : "s");
        std::printf("  offset %lld, header bytes %s\n", d.offset,
                    d.headerBytes ? hexBytes(d.header, d.headerBytes).c_str() : "(none)");
        std::printf("  %s\n", d.message.c_str());
    }
    return defect ? kExitFailure : kExitOk;
}

}  // namespace orvtool
