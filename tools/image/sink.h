// sink.h - writing an image: the library's streaming writer as a block
// sink, with the tool's messages, --capacity warning and write settings,
// and the pool's encoding in front of it.
#ifndef ORVTAPE_TOOL_IMAGE_SINK_H
#define ORVTAPE_TOOL_IMAGE_SINK_H

#include "base/block.h"
#include "base/pool.h"

#include <orvTapeStream.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace orvtool {

class BlockWalk;

// How blocks are written: the options of the commands that write images.
struct WriteSettings {
    int segmentSize = 0;              // 0: the library's default
    unsigned long long capacity = 0;  // 0: no end-of-tape warning
    bool sync = false;
    bool compress = false, noCompress = false;  // every block compressed, or none
    bool scramble = false, noScramble = false;  // every block scrambled, or none
};

// The drive's write code for a result of the writer or codec, which
// messages show as they show the drive's codes elsewhere.
int driveWriteCode(int result);

// Where writing starts: after a segment of prevLen bytes ending at offset
// (0 and 0 at the load point), with blocks blocks and tapemarks before it.
struct WriteStart {
    long long offset = 0;
    unsigned prevLen = 0;
    long long blocks = 0;
};

// An image written block by block: a data block as its stored form when it
// comes with one (packing or scrambling said, stored set), else its data as
// it is; a tapemark as one.  A failure names the block as "a block", "a
// label" (Block::isLabel) or "a tapemark".
class ImageSink : public BlockSink {
public:
    // Runs once each block is in the image: the command's capacity warnings
    // and file counts follow the image, not the input.
    using Written = std::function<void(const Block&)>;
    // Writes the image open for reading and writing on fd (it stays the
    // caller's), shown as shown in messages, from start on.  --segment-size,
    // --sync and --capacity apply.
    ImageSink(int fd, const std::string& shown, const WriteSettings& o, const WriteStart& start = {});
    ImageSink(const ImageSink&) = delete;
    ImageSink& operator=(const ImageSink&) = delete;

    void onWritten(Written w) { written_ = std::move(w); }
    // Runs each time the blocks put hold about step more bytes: cheaper than
    // onWritten for a command that only wants to hear of growth.
    void onGrowth(long long step, std::function<void()> grew);
    Carries carries() const override;
    void put(const Block& b) override;
    // Writes what is buffered and cuts the file after the last block.
    void finish() override;
    // Closes without a word after a failure elsewhere; the caller cuts the
    // image.  Returns where the blocks that reached it end.
    long long abandon();
    // Warns once when the image has reached --capacity; what says where.
    void warnAtCapacity(const std::string& what);
    // The codec's refusal (rc) to make b's stored form, worded as a failed write.
    [[noreturn]] void refuseEncoding(int rc, const Block& b);

    long long position() const { return writer_.position(); }
    long long blocks() const { return blocks_; }  // blocks and tapemarks since the load point

private:
    // Inlined into put(): a card copy calls it once a block.
    __attribute__((always_inline)) inline void write(const void* p, unsigned storedLength, unsigned char flags2,
                                                     unsigned length, const char* what);
    void check(int rc, const char* what) {
        if (rc < 0) fail(rc, what);
    }
    [[noreturn]] void fail(int rc, const char* what);
    void watch();
    [[noreturn]] void refused();

    ORVtapeWriter writer_;
    int fd_;
    bool hint_;                 // --sync: start the write-back early
    long long hinted_ = 0;      // position at the last start
    std::string shown_;
    unsigned long long capacity_;
    int room_ = 0;
    long long blocks_;
    bool warned_ = false;
    Written written_;
    // One count of bytes put serves both the write-back hint and onGrowth,
    // so that a block pays an addition and a comparison for them.
    long long sinceWatch_ = 0, watchStep_;
    long long growthStep_ = 0, sinceGrowth_ = 0;
    std::function<void()> grew_;
    // Where the blocks that a failure names otherwise than "a block" start:
    // the writer reports a refusal later than the block it hit.
    std::vector<std::pair<long long, const char*>> named_;
};

// Blocks for an ImageSink in the order given, those that need codec work
// done on the pool's workers meanwhile.  A block keeps the compression and
// scrambling it had unless the settings say otherwise; one that keeps them
// and comes stored keeps its stored bytes, decoded on a worker all the same
// when it comes without its data, so that a damaged block stops the write
// as reading it would.  A block without codec work goes straight to the
// image while nothing is in flight: plain volumes meet no slot and no thread.
class ParallelEncode : public BlockSink {
public:
    // source: the walk stored blocks come from, which names a block that
    // does not decode.
    ParallelEncode(ImageSink& out, const WriteSettings& o, int jobs, const Common& run, const BlockWalk* source = nullptr);
    Carries carries() const override { return out_.carries(); }
    void put(const Block& b) override;
    // Writes every block in flight, then finishes the image.
    void finish() override;
    // Writes every block in flight.
    void drain();

private:
    __attribute__((noinline)) void putWithWork(const Block& b);
    unsigned char wanted(const Block& b) const;
    // form: flags2 of b's stored form, 0 when it has none.
    void load(const Block& b, Slot& s, unsigned char want, unsigned char form);
    void write(const Slot& s);

    ImageSink& out_;
    WriteSettings o_;
    const BlockWalk* source_;
    Pipeline pipe_;
    bool eager_;       // one job: every block is done when submitted
    bool keepsForms_;  // no setting changes a block's compression or scrambling
};

}  // namespace orvtool

#endif
