// index.h - where each block of each tape file lies, built in one pass over
// a volume's headers, so that a read at any offset of a file decodes only
// the blocks it covers.  Pure: knows blocks, not images or formats.
#ifndef ORVTAPE_TOOL_MOUNT_INDEX_H
#define ORVTAPE_TOOL_MOUNT_INDEX_H

#include "base/block.h"

#include <cstddef>
#include <string>
#include <vector>

namespace orvtool {

// One block of a tape file: 24 bytes, so that an index of a million blocks
// stays under 32 MiB even while its vector grows.
struct IndexedBlock {
    long long offset = 0;          // where it starts in its source
    unsigned long long start = 0;  // where its bytes start in the file's view
    unsigned span = 0;             // bytes it takes in its source
    bool plain = false;            // held neither compressed nor scrambled (in the padding: no cost)
};

struct FileIndex {
    std::vector<IndexedBlock> blocks;
    unsigned long long size = 0;  // bytes of the view: what reads deliver before its end
    bool damaged = false;         // the source could not be read past its last block
    // The block holding byte pos of the view; blocks.size() when pos >= size.
    std::size_t find(unsigned long long pos) const;
    unsigned long long lengthOf(std::size_t i) const {
        return (i + 1 < blocks.size() ? blocks[i + 1].start : size) - blocks[i].start;
    }
};

struct VolumeIndex {
    std::vector<FileIndex> files;  // numbered as get numbers them
    std::string damage;            // why reading stopped short, "" when it did not
};

// Indexes source from its start: each data block (its length from the
// source, its place from its offset and what the source consumed), files
// closed by tapemarks.  A tapemark right after a tapemark (or the load
// point) that nothing follows is the end-of-volume mark and opens no file.
// A ToolError thrown by the source ends the index there: the file it
// interrupted is kept, marked damaged, and damage says why.
VolumeIndex indexVolume(BlockSource& source);

}  // namespace orvtool

#endif
