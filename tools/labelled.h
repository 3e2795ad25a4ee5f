// labelled.h - a labelled volume seen as its data sets: which tape files
// hold the labels and data of each, and where labels and data disagree.
#ifndef ORVTAPE_TOOL_LABELLED_H
#define ORVTAPE_TOOL_LABELLED_H

#include "labels.h"
#include "orvtape.h"

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
    std::vector<DataSet> sets;
    std::vector<std::string> warnings;  // labels that disagree with the data
};

class BlockWalk;
class Volume;

// Reads the volume from the load point through a passing walk; throws
// ToolError when a block cannot be passed.  Labels are looked for only where
// the labelled layout puts them, and a block that is no label there is
// data; the walk stops in the first file of a volume that is not labelled.
LabelledVolume readLabels(BlockWalk& walk);
// The same on a walk of its own over the volume.
LabelledVolume readLabels(const Volume& volume);

// The data set named dsn (trailing blanks ignored) or numbered number (from
// 1); throws ToolError when there is none.
const DataSet& findDataSet(const LabelledVolume& v, const std::string& path,
                           const std::string& dsn, long long number);

}  // namespace orvtool

#endif
