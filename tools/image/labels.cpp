// labels.cpp - the image walk as a block source for the label scanner.
#include "image/labels.h"

#include "image/walk.h"

#include <vector>

namespace orvtool {

namespace {

// The blocks of a walk that passes over them; the bytes of a block are
// read again only where the scanner would look into them, so a data set
// costs the walk no more than spacing over it.
class PassedBlocks : public BlockSource {
public:
    PassedBlocks(BlockWalk& walk, const LabelScanner& scanner) : walk_(walk), scanner_(scanner) {}

    bool next(Block& b) override {
        if (!walk_.next(b)) return false;
        // The bytes read of it only: a longer block comes cut to the record size.
        if (b.kind == Kind::Data && scanner_.wants(b.length) && walk_.reread(bytes_) > 0 &&
            bytes_.size() == b.length)
            b.data = bytes_.data();
        return true;
    }
    long long consumed() const override { return walk_.consumed(); }

private:
    BlockWalk& walk_;
    const LabelScanner& scanner_;
    std::vector<unsigned char> bytes_;
};

}  // namespace

LabelledVolume readLabels(BlockWalk& walk) {
    walk.rewind();
    walk.setMode(ReadMode::Pass);
    LabelScanner scanner;
    PassedBlocks blocks(walk, scanner);
    return scanner.scan(blocks);
}

LabelledVolume readLabels(const Volume& volume) {
    BlockWalk walk(volume, ReadMode::Pass);
    return readLabels(walk);
}

}  // namespace orvtool
