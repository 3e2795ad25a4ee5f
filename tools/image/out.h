// out.h - writing an image through the library's streaming writer,
// with the tool's messages, --capacity warning and write settings.
#ifndef ORVTAPE_TOOL_IMAGE_OUT_H
#define ORVTAPE_TOOL_IMAGE_OUT_H

#include "orvtape.h"
#include "pipeline.h"

#include <orvTapeStream.h>

#include <functional>
#include <utility>
#include <vector>

namespace orvtool {

// A slot's tag holds the transforms to apply (HF2_BZ2, HF2_SCRAMBLE) and,
// above them, bits of the command's own; this one marks a label block,
// which a failed write names as such.
constexpr int kLabelTag = 0x100;
// The name of an ordinary block in a failure; others are remembered by offset.
extern const char* const kBlockName;

// How blocks are written: the options of the commands that write images.
struct WriteSettings {
    int segmentSize = 0;              // 0: the library's default
    unsigned long long capacity = 0;  // 0: no end-of-tape warning
    bool sync = false;
    bool compress = false, noCompress = false;  // every block compressed, or none
    bool scramble = false, noScramble = false;  // every block scrambled, or none
};

class ImageOut {
public:
    // Opens path for writing at offset, after a block whose last segment
    // holds prevLen bytes (0 at the load point or after a tapemark); shown
    // names the image in messages, blockNumber counts the blocks before
    // offset.  --segment-size, --sync and --capacity apply.
    ImageOut(const std::string& path, const std::string& shown, const WriteSettings& o, long long offset = 0,
             unsigned prevLen = 0, long long blockNumber = 0);

    // A block of data as it is; what names it in a failure ("a block", "a label").
    void plain(const void* data, unsigned length, const char* what = kBlockName) {
        stored(data, length, 0, length, what);
    }
    // A block already in its stored form; length is what reading it delivers.
    void stored(const void* payload, unsigned storedLength, unsigned char flags2, unsigned length,
                const char* what = kBlockName);
    // What a slot carries: a tapemark for length 0; else its work's output
    // when the work made one, or its input in the stored form flags2 says.
    void slot(const Slot& s);
    void tapemark();
    // Warns once when the image has reached --capacity; what says where.
    void warnAtCapacity(const std::string& what);
    // Writes what is buffered and cuts the file after the last block.
    void close();
    // Closes without a word after a failure elsewhere; the caller cuts the
    // image.  Returns where the blocks that reached it end.
    long long abandon();
    ~ImageOut();
    ImageOut(const ImageOut&) = delete;
    ImageOut& operator=(const ImageOut&) = delete;

    long long position() const { return writer_.position(); }
    long long blocks() const { return blocks_; }  // blocks and tapemarks since the load point

private:
    void check(int rc, const char* what);
    [[noreturn]] void refused();

    void startWriteBack();

    ORVtapeWriter writer_;
    int hintFd_ = -1;           // the image, for starting its write-back early
    long long hinted_ = 0;      // position at the last start
    std::string shown_;
    unsigned long long capacity_;
    int room_;
    long long blocks_;
    bool warned_ = false;
    // Where the blocks that a failure names otherwise than "a block" start:
    // the writer reports a refusal later than the block it hit.
    std::vector<std::pair<long long, const char*>> named_;
};

// The work that encodes a slot: in (data) to out (stored form), with the
// transforms in s.tag (HF2_BZ2, HF2_SCRAMBLE).  A block that would not get
// shorter stays uncompressed, as the drive writes it.
void encodeWork(Slot& s, ORVtapeCodec& codec);

// Blocks for an ImageOut in the order given, those that need a transform
// encoded on the pipeline's workers meanwhile.  A block without codec work
// is written at once when nothing is in flight before it, so plain volumes
// never meet a thread.
class EncodingOut {
public:
    // written(tag, number) runs once each block is in the image: the
    // command's capacity warnings and file counts follow the image, not the
    // input.
    using Written = std::function<void(int tag, long long number)>;
    EncodingOut(ImageOut& out, int jobs, Written written);

    // Data to store with the transforms in tag (none: as it is).
    void data(const void* p, unsigned length, int tag, long long number = -1);
    // A block already in its stored form with its flags2.
    void stored(const void* p, unsigned storedLength, unsigned char flags2, unsigned length, int tag,
                long long number = -1);
    void tapemark(int tag = 0, long long number = -1);
    // Writes every block still in flight.
    void drain();

private:
    Slot& fill(const void* p, unsigned length);
    void send(Slot& s);
    void write(const Slot& s);

    ImageOut& out_;
    Pipeline pipe_;
    Written written_;
    bool eager_;  // one job: every block is done when submitted
};

// Cuts the image at path at offset, after a segment of prevLen bytes, and
// writes marks tapemarks there: the end of the volume put back after a
// failed append.  0, or the drive's code for the writer's failure, with
// errno set.
int endVolumeAt(const std::string& path, long long offset, unsigned prevLen, unsigned marks);
// The bytes endVolumeAt writes for prevLen and marks, made ahead for a
// signal handler; empty when they cannot be made.
std::string volumeEnd(unsigned prevLen, unsigned marks);

}  // namespace orvtool

#endif
