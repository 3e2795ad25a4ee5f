// recfm.h - records and blocks: host input cut into the blocks of a
// record format (put), and blocks split back into records (get --unblock).
#ifndef ORVTAPE_TOOL_LABELS_RECFM_H
#define ORVTAPE_TOOL_LABELS_RECFM_H

#include "../base/block.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace orvtool {

// A record format as labels give it: F, V or U, with B (blocked), S
// (spanned) or blank.
struct RecordFormat {
    char recfm = 'U', attr = ' ';
    long long lrecl = 0;
};
// "U", "F", "FB", "V", "VB", "VBS"...; false when it is none of them.
bool parseRecfm(const std::string& s, RecordFormat& out);

// The blocks of one put input.  Raw input is cut into block-size blocks
// (format U) or into records of lrecl bytes, as many as fit a block (F, FB);
// with text, every line becomes one record padded with blanks (F, FB), and
// the bytes are converted to EBCDIC.
class InputBlocks : public BlockSource {
public:
    // Reads up to n bytes of the input into p: how many, 0 at its end.
    // Throws ToolError naming the input when it cannot be read.
    using Read = std::function<std::size_t(char* p, std::size_t n)>;
    InputBlocks(Read read, const std::string& name, const RecordFormat& f, unsigned long long blockSize,
                bool text);
    // The next block, a data block valid until the next call; false at the
    // end of the input.  Throws ToolError.
    bool next(Block& b) override;
    long long consumed() const override { return consumed_; }
    // The length of the blocks made (HDR2's block length).
    unsigned long long blockLength() const { return blockLen_; }
    // The block just returned ends in a short record, padded with zeros.
    bool padded() const { return padded_; }

private:
    bool fill();  // reads more input after what is pending; false at its end
    size_t pending() const { return end_ - begin_; }
    bool nextCut(const char*& data, size_t& length);
    bool nextLines(const char*& data, size_t& length);
    Read read_;
    std::string name_;
    RecordFormat f_;
    unsigned long long blockLen_;
    bool text_, eof_ = false, padded_ = false;
    long long line_ = 0, consumed_ = 0;
    // Input is read in large chunks, and a block that is only cut from it
    // is handed out in place: a card volume costs no call and no copy a card.
    std::vector<char> buf_;
    size_t begin_ = 0, end_ = 0;
    std::string block_;  // a block made here: padded, converted, or of lines
};

// Turns blocks into the records they hold, in this order: descriptor words
// (V) removed, records cut (F), EBCDIC converted (ascii), trailing blanks
// removed (strip), a newline after each record (lines).
class Unblocker {
public:
    // blank: the byte that strip removes (0x40 for records left in EBCDIC).
    Unblocker(const RecordFormat& f, bool ascii, bool strip, bool lines, char blank)
        : f_(f), ascii_(ascii), strip_(strip), lines_(lines), blank_(blank) {}
    // Appends the records of block (blockNo for messages) to out; throws
    // ToolError when its descriptor words do not fit it, when bytes follow
    // the length its block descriptor gives, or when spanned segments come
    // out of order (a record begun and not finished, a segment that
    // continues no record).
    void block(const char* p, size_t n, long long blockNo, std::string& out);
    // At the end of the data set: throws ToolError when a spanned record is
    // still waiting for its last segment.
    void finish() const;

private:
    void record(const char* p, size_t n, std::string& out) const;
    RecordFormat f_;
    bool ascii_, strip_, lines_;
    char blank_;
    std::string spanned_;  // the segments so far of a spanned record
    bool spanning_ = false;  // a first segment came, its last has not
    long long spanFrom_ = 0;  // the block of that first segment
};

}  // namespace orvtool

#endif
