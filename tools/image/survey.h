// survey.h - the facts that ls and check report, gathered by walking a
// volume and kept apart from how the commands print them.
#ifndef ORVTAPE_TOOL_IMAGE_SURVEY_H
#define ORVTAPE_TOOL_IMAGE_SURVEY_H

#include "base/common.h"
#include "labels/dataset.h"

#include <cstdint>
#include <string>
#include <vector>

namespace orvtool {

class BlockWalk;
class Volume;

// Block lengths counted in 64 bits: the library's report wraps at 4 GiB.
struct Counts {
    unsigned long long bytes = 0, blocks = 0, minBlock = 0, maxBlock = 0;
    void add(unsigned long long length);
};

struct BlockFact {
    long long number = 0, offset = 0;
    unsigned long long file = 0;  // the tape file it belongs to, or that a tapemark closes
    long long length = 0;         // 0: a tapemark
    unsigned stored = 0, segments = 0;
    const char* transforms = "";
    bool endMark = false;  // the tapemark after the last file's
    std::string entryClass = "";  // of a foreign file's entry that is no good record or tapemark
    std::uint32_t value = 0;  // a marker's
};

// What ls lists: the labels, then the files and blocks as far as they read.
struct Survey {
    std::string image;
    std::string format;  // the title of a foreign file's format; "" for an image
    long long imageBytes = 0;
    LabelledVolume labels;
    std::vector<Counts> files;      // in order; the last may lack its tapemark
    bool lastFileOpen = false;      // it does: the data ends inside it
    Counts total;
    std::vector<BlockFact> blocks;  // only when asked for
    std::vector<std::string> sums;  // SHA-256 of each file's bytes, only when asked for
    std::string failure;            // why the walk stopped short of the end
};

// The labels, read through walk; none when a block cannot be passed (the
// block walk tells what).
Survey surveyLabels(BlockWalk& walk, const std::string& image);
// The files of s's volume, walked from the load point; every block as well
// when listBlocks.
void surveyBlocks(BlockWalk& walk, bool listBlocks, Survey& s);

struct Defect {
    long long offset = -1;
    unsigned char header[6] = {};
    int headerBytes = 0;  // how many of header[] were read
    int code = 0;         // a library code; 0 for the tool's own findings
    std::string message;
    bool endMark = false;  // the volume lacks its end mark
};

// What check finds: the first defect, with --deep every later block that
// does not decode, and labels that disagree with the data.
struct Findings {
    std::string image;
    long long imageBytes = 0, headers = 0;  // headers: the good ones before a defect
    bool multiSegment = false, compressed = false;
    bool defective = false;
    bool foreign = false;  // the file is in another format, which defect.message names
    std::string format;     // the title of a foreign file's format read in place; "" for an image
    long long records = 0;  // of such a file: its records of every class
    Defect defect;
    std::vector<Defect> more;
    LabelledVolume labels;

    bool labelsDisagree() const { return !labels.warnings.empty(); }
    bool clean() const { return !defective && !labelsDisagree(); }
};

// The header chain as validate sees it, then what only reading the blocks
// shows (decoding each with deep, on jobs workers), the end mark, and the
// labels.  Throws ToolError when the image cannot be walked at all.
Findings inspect(const Volume& volume, const std::string& image, bool deep, int jobs, const Common& run);

}  // namespace orvtool

#endif
