// decoded_image.h - a volume's blocks decoded on the pool's workers, for
// code that keeps a block type of its own (the record converter), so needs
// neither the walk's nor the pool's headers.
#ifndef ORVTAPE_TOOL_IMAGE_DECODED_IMAGE_H
#define ORVTAPE_TOOL_IMAGE_DECODED_IMAGE_H

#include <cstddef>
#include <memory>

namespace orvtool {

class Volume;

class DecodedImage {
public:
    // One block, valid until the next call.
    struct View {
        bool mark = false;
        const unsigned char* data = nullptr;
        std::size_t length = 0;
        bool compressed = false, scrambled = false;  // as stored
        long long offset = 0;
    };
    DecodedImage(const Volume& volume, int jobs);
    ~DecodedImage();
    // The next block; false at the end of the data.  Throws ReadError.
    bool next(View& v);
    long long consumed() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace orvtool

#endif
