// index.cpp - the per-file block index of a mounted volume.
#include "mount/index.h"

#include "base/error.h"

#include <algorithm>

namespace orvtool {

std::size_t FileIndex::find(unsigned long long pos) const {
    if (pos >= size) return blocks.size();
    // The last block that starts at or before pos: empty blocks never reach
    // the index, so that one holds it.
    const auto after = std::upper_bound(blocks.begin(), blocks.end(), pos,
                                        [](unsigned long long p, const IndexedBlock& b) { return p < b.start; });
    return static_cast<std::size_t>(after - blocks.begin()) - 1;
}

VolumeIndex indexVolume(BlockSource& source) {
    VolumeIndex v;
    v.files.emplace_back();
    bool markPending = false;  // a tapemark closed an empty file, unless it is the end mark
    try {
        for (Block b; source.next(b);) {
            if (b.kind != Kind::Data && b.kind != Kind::Mark) continue;
            if (markPending) {
                v.files.emplace_back();
                markPending = false;
            }
            FileIndex& f = v.files.back();
            if (b.kind == Kind::Mark) {
                if (f.blocks.empty()) markPending = true;
                else v.files.emplace_back();
                continue;
            }
            if (b.length == 0) continue;  // holds no byte of the view
            IndexedBlock ib;
            ib.offset = b.offset;
            ib.start = f.size;
            ib.span = static_cast<unsigned>(source.consumed() - b.offset);
            ib.plain = b.packing == Packing::None && !b.scrambled;
            f.blocks.push_back(ib);
            f.size += b.length;
        }
    } catch (const ToolError& e) {
        v.damage = e.what();
        if (markPending) v.files.emplace_back();
        v.files.back().damaged = true;
    }
    // The last file: dropped when nothing opened it (the data ended after a
    // closing tapemark, or at the end mark).
    if (!v.files.back().damaged && v.files.back().blocks.empty()) v.files.pop_back();
    for (FileIndex& f : v.files) f.blocks.shrink_to_fit();
    return v;
}

}  // namespace orvtool
