// image_labels.cpp - the image walk as a block source for the label scanner.
#include "image_labels.h"

#include "volume.h"

#include <vector>

namespace orvtool {

namespace {

// The blocks of a walk that passes over them; the bytes of a block are
// read again only where the scanner would look into them, so a data set
// costs the walk no more than spacing over it.
class PassedBlocks : public BlockSource {
public:
    PassedBlocks(VolumeStream& volume, const LabelScanner& scanner) : volume_(volume), scanner_(scanner) {}

    bool next(Block& b) override {
        orvTapeBlockInfo info;
        int n;
        if (!volume_.passOrEnd(info, n)) return false;
        b = Block{};
        b.kind = n == 0 ? Kind::Mark : Kind::Data;
        b.length = static_cast<std::size_t>(n);
        b.offset = info.offset;
        b.number = info.blockNumber;
        // The bytes read of it only: a longer block comes cut to the record size.
        if (n > 0 && scanner_.wants(b.length) && volume_.reread(info, bytes_) > 0 && bytes_.size() == b.length)
            b.data = bytes_.data();
        return true;
    }
    long long consumed() const override { return volume_.position(); }

private:
    VolumeStream& volume_;
    const LabelScanner& scanner_;
    std::vector<unsigned char> bytes_;
};

}  // namespace

LabelledVolume readLabels(VolumeStream& volume) {
    volume.rewind();
    LabelScanner scanner;
    PassedBlocks blocks(volume, scanner);
    return scanner.scan(blocks);
}

LabelledVolume readLabels(ORVtape& tape, const std::string& path) {
    VolumeStream volume(tape, path);
    return readLabels(volume);
}

}  // namespace orvtool
