// image_out.h - writing an image through the library's streaming writer,
// with the tool's messages, --capacity warning and write settings.
#ifndef ORVTAPE_TOOL_IMAGE_OUT_H
#define ORVTAPE_TOOL_IMAGE_OUT_H

#include "orvtape.h"
#include "pipeline.h"

#include <orvTapeStream.h>

namespace orvtool {

class ImageOut {
public:
    // Opens path for writing at offset, after a block whose last segment
    // holds prevLen bytes (0 at the load point or after a tapemark); shown
    // names the image in messages, blockNumber counts the blocks before
    // offset.  --segment-size, --sync and --capacity apply.
    ImageOut(const std::string& path, const std::string& shown, const Options& o, long long offset = 0,
             unsigned prevLen = 0, long long blockNumber = 0);

    // A block of data as it is.
    void plain(const void* data, unsigned length) { stored(data, length, 0, length); }
    // A block already in its stored form; length is what reading it delivers.
    void stored(const void* payload, unsigned storedLength, unsigned char flags2, unsigned length);
    // What a slot carries: a tapemark for length 0; else its work's output
    // when the work made one, or its input in the stored form flags2 says.
    void slot(const Slot& s);
    void tapemark();
    // Warns once when the image has reached --capacity; what says where.
    void warnAtCapacity(const std::string& what);
    // Writes what is buffered and cuts the file after the last block.
    void close();

    long long position() const { return writer_.position(); }
    long long blocks() const { return blocks_; }  // blocks and tapemarks since the load point

private:
    void check(int rc, const char* what);

    ORVtapeWriter writer_;
    std::string shown_;
    unsigned long long capacity_;
    int room_;
    long long blocks_;
    bool warned_ = false;
};

// The work that encodes a slot: in (data) to out (stored form), with the
// transforms in s.tag (HF2_BZ2, HF2_SCRAMBLE).  A block that would not get
// shorter stays uncompressed, as the drive writes it.
void encodeWork(Slot& s, ORVtapeCodec& codec);

}  // namespace orvtool

#endif
