// walk.h - a forward walk over a Volume, block by block, through the
// library's streaming reader on the volume's descriptor.
//
// A failure is a value (Failure): tryStep returns it so that check and
// recover can go on after it, everything else meets it thrown in a
// ReadError.  The record size grows block by block up to --max-block; a
// block claiming more is refused before anything of it is allocated.
#ifndef ORVTAPE_TOOL_IMAGE_WALK_H
#define ORVTAPE_TOOL_IMAGE_WALK_H

#include "base/block.h"
#include "base/error.h"
#include "image/volume.h"

#include <ORVtape.h>  // the header flag bits
#include <orvTapeStream.h>

#include <string>
#include <vector>

namespace orvtool {

// How much of each block the walk reads: passed over (length only), its
// stored form (and a plain block's data), or decoded.
enum class ReadMode { Pass, Stored, Decoded };

// What a step met.  A tapemark is the end mark when it follows another
// tapemark (or the load point) and nothing follows it.
enum class Step { Block, FileMark, EndMark, EndOfData };

// The tool's own reasons to refuse a block that the library would read.
enum class Refusal {
    None,
    OverLimit,       // the block claims more than --max-block
    EmptyCompressed  // a compressed block whose length prefix says 0
};

struct Failure {
    int code = 0;                   // the reader's result; 0 for a refusal of the tool's own
    Refusal refusal = Refusal::None;
    int err = 0;                    // errno of the failing call, 0 when none
    unsigned long long claim = 0;   // OverLimit: the length the block claims
    unsigned long long limit = 0;   // OverLimit: the limit it passes
    long long offset = 0, number = 0;
    bool headerCut = false;         // a cut image ends inside a header, not a payload

    // The drive's read code for it (what messages word and check's JSON
    // shows: the user meets those codes on the drive too); 0 for a refusal.
    int driveCode() const;
    // "block N at offset O: why", as messages say it.
    std::string sentence() const;
};

// A block that cannot be read, thrown; its message names the file.
class ReadError : public ToolError {
public:
    ReadError(const std::string& path, const Failure& f, const std::string& advice = "")
        : ToolError(path, f.sentence() + advice), failure(f) {}
    Failure failure;
};

// flags2 of the stored form that a block describes; inline, as every
// writer and decoder asks it of every block.
inline unsigned char flags2Of(const Block& b) {
    if (b.kind != Kind::Data || (b.packing != Packing::Bzip2 && !b.scrambled)) return 0;
    return static_cast<unsigned char>(HF2_XFORM | (b.packing == Packing::Bzip2 ? HF2_BZ2 : 0) |
                                      (b.scrambled ? HF2_SCRAMBLE : 0));
}
// "plain", "compressed", "scrambled" or "compressed+scrambled".
const char* transformName(unsigned char flags2);

// Whether the image open as fd (not moved) has a header chain that holds:
// "" when it does, else why not, as the cause part of an error line.
std::string chainFault(int fd);
// Whether path is an image whose header chain holds (a whole one).
bool chainHolds(const std::string& path);

class BlockWalk final : public BlockSource {
public:
    // Throws ToolError when the reader cannot open the volume's descriptor.
    BlockWalk(const Volume& volume, ReadMode mode);

    // The next step into b (valid until the next call); throws ReadError.
    Step step(Block& b) {
        Step s;
        if (!tryStep(b, s, failed_)) throwFailed();
        return s;
    }
    // step without the throw: false with f set, the walk left at the block.
    bool tryStep(Block& b, Step& s, Failure& f) { return advance(&b, s, f); }
    // tryStep for a walk that needs only the steps: no block is filled.
    bool tryPass(Step& s, Failure& f) { return advance(nullptr, s, f); }
    // After a failure, passes over the block that failed when its headers
    // allow it; false when they do not (the walk cannot go on).
    bool passFailed();
    // BlockSource: marks as Kind::Mark (the end mark included), false at
    // the end of the data; throws ReadError, with advice appended.
    bool next(Block& b) override { return step(b) != Step::EndOfData; }
    long long consumed() const override { return position_; }
    // From the next step on, read as mode says.
    void setMode(ReadMode mode) {
        mode_ = mode == ReadMode::Pass ? ORVTAPE_READ_PASS
                : mode == ReadMode::Stored ? ORVTAPE_READ_STORED : ORVTAPE_READ_DECODE;
    }
    void setAdvice(const char* advice) { advice_ = advice; }
    const char* advice() const { return advice_; }

    // Facts of the block met last (segments, stored length, flags2, end).
    const orvTapeBlockInfo& info() const { return info_; }
    // Where the block met last ends in the image.
    long long end() const { return info_.end; }
    // How the block met last is stored: "stored N  segments N  transforms".
    std::string storedForm() const;
    // The block met last, read again decoded into out: its length, or a
    // failure code; the walk goes on after it either way.
    int reread(std::vector<unsigned char>& out);

    void rewind();
    // Goes on at offset, a block boundary found otherwise.
    void seek(long long offset);
    long long position() const { return position_; }
    // The library's header chain walk over the whole image: "" when it
    // holds, else why not, as the cause part of an error line.
    std::string chainFault();
    // The same, with the library's whole report, for the wing's own survey.
    int validate(orvTapeChainReport& report);
    int lastErrno() const { return reader_.lastErrno(); }
    const Volume& volume() const { return volume_; }

private:
    [[noreturn]] void throwFailed() const;
    bool advance(Block* b, Step& s, Failure& f);
    // Inside tryStep: calls a block cost a sixth of a card walk.
    __attribute__((always_inline)) inline bool read(orvTapeReadMode mode, int& length, Failure& f);
    __attribute__((always_inline)) inline void fill(Block& b, int length) const;
    const Volume& volume_;
    orvTapeReadMode mode_ = ORVTAPE_READ_PASS;
    unsigned long long maxBlock_;  // the volume's --max-block, asked once a block
    ORVtapeReader reader_;
    orvTapeBlockInfo info_ = ORVTAPE_BLOCK_INFO_INIT;
    long long position_ = 0;
    bool prevMark_ = true;  // the block before was a tapemark, or none was read
    Failure failed_;        // step()'s, kept: a Failure made a block would cost a clearing each
    const char* advice_ = "";
};

}  // namespace orvtool

#endif
