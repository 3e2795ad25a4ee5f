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
    bool labelled = false;  // the first block is a VOL1 label
    bool ebcdic = false;
    std::string volser, owner;
    std::vector<DataSet> sets;
    std::vector<std::string> warnings;  // labels that disagree with the data
    long long tapeFiles = 0;
};

// Reads the mounted volume from the load point; throws ToolError (naming
// path) when a block cannot be read.  Stops after the first block of an
// unlabelled volume.
LabelledVolume readLabels(ORVtape& tape, long long size, const std::string& path);

// The data set named dsn (trailing blanks ignored) or numbered number (from
// 1); throws ToolError when there is none.
const DataSet& findDataSet(const LabelledVolume& v, const std::string& path,
                           const std::string& dsn, long long number);

}  // namespace orvtool

#endif
