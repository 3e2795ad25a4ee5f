// dataset.h - the labelled layout of a volume, read and written in one
// place: each data set is VOL1 (first only) · HDR1 HDR2 · TM · data · TM ·
// EOF1 EOF2 · TM, and the volume ends with one more tapemark.
#ifndef ORVTAPE_TOOL_LABELS_DATASET_H
#define ORVTAPE_TOOL_LABELS_DATASET_H

#include "../base/block.h"
#include "label.h"
#include "recfm.h"

#include <memory>
#include <string>
#include <vector>

namespace orvtool {

struct DataSet {
    long long fileSeq = -1;  // from HDR1
    std::string dsn, created;
    char recfm = ' ', blockAttr = ' ';
    long long blockSize = -1, recordLength = -1;
    long long dataFile = -1;  // tape file number of the data, -1: none
    unsigned long long blocks = 0, bytes = 0;
};

struct LabelledVolume {
    bool labelled = false;  // it begins as a labelled volume does: VOL1, HDR1, a tapemark
    bool ebcdic = false;
    std::string volser, owner;
    // Initialised and never written: its only data set label is the dummy
    // HDR1 (an identifier of zeros) that initialising a volume writes.
    bool scratch = false;
    std::vector<DataSet> sets;
    std::vector<std::string> warnings;  // labels that disagree with the data
};

// Reads a volume block by block from the load point.  Labels are looked for
// only where the labelled layout puts them, and a block that is no label
// there is data; a volume that does not begin as a labelled one is given up
// in its first file.  A tapemark right after a tapemark that nothing follows
// is the end-of-volume mark.
class LabelScanner {
public:
    LabelScanner();
    ~LabelScanner();
    // Whether the bytes of the next block, length bytes long, are looked
    // into: a source that passes blocks without their bytes fetches only these.
    bool wants(std::size_t length) const;
    // The next block (a data block without data counts as no label); false
    // once the volume is known not to be labelled.
    bool put(const Block& b);
    // The volume as read; put no more blocks after it.
    LabelledVolume finish();
    // Every block of source through put, then finish.
    LabelledVolume scan(BlockSource& source);

private:
    class Layout;
    std::unique_ptr<Layout> layout_;
};

// LabelScanner().scan(source).
LabelledVolume readLabels(BlockSource& source);

// The first record that a variable-format data set of v cannot give back,
// reading the volume's blocks and tapemarks from the load point: descriptor
// words that do not fit, bytes beyond a block's length, spanned segments
// out of order.  Its block's offset and what is wrong; false when all
// unblock.  The blocks were read once already, so a source that fails now
// ends the look quietly.
bool recordFault(BlockSource& blocks, const LabelledVolume& v, long long& offset, std::string& message);

// The data set named dsn (trailing blanks ignored) or numbered number (from
// 1); throws ToolError naming path when there is none.
const DataSet& findDataSet(const LabelledVolume& v, const std::string& path,
                           const std::string& dsn, long long number);

// How a writer lays labels out: off, or the serial, the code, whether the
// volume still needs its VOL1, and the sequence number of the next data set.
struct LabelPlan {
    bool on = false, ansi = false, needVol1 = false;
    std::string volser;
    long long seq = 1;
};

// Puts the labelled layout around the data blocks given to it, into out:
// labels (Block::isLabel set) and tapemarks around each data set, its
// blocks counted for EOF1.  The tapemarks inside a data set's layout come
// with isLabel set too, as part of its labels; the one that ends the data
// set does not, so that out can tell where a data set is complete.  Without
// labels a data set is its blocks and that tapemark.
class LabelledWriter : public BlockSink {
public:
    LabelledWriter(BlockSink& out, const LabelPlan& plan) : out_(out), plan_(plan) {}
    // Opens a data set: VOL1 when the volume needs it, HDR1, HDR2, a tapemark.
    // created is the date as cyyddd.
    void begin(const std::string& dsn, const RecordFormat& f, unsigned long long blockLength,
               const std::string& created);
    // One data block of the open data set.
    void put(const Block& b) override;
    // Closes the data set: a tapemark, EOF1, EOF2 and the closing tapemark.
    void end();
    Carries carries() const override { return out_.carries(); }
    void finish() override { out_.finish(); }

private:
    void label(const std::string& block);
    void mark(bool inLabels);
    BlockSink& out_;
    LabelPlan plan_;
    std::string dsn_, created_;
    RecordFormat format_;
    unsigned long long blockLength_ = 0;
    long long count_ = 0;  // data blocks of the open data set
};

}  // namespace orvtool

#endif
