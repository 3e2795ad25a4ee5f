// fmt_image.cpp - an orvtape image as a record stream, read and written
// through the library, so export and import share the converter with
// every other format.
#include "families.h"

#include "../image/decoded_image.h"
#include "../image_out.h"

#include <cerrno>
#include <cstring>

namespace orvtool {

namespace {

// Blocks come decoded from the image wing, which reads ahead while its
// workers decompress.
class ImageReader : public RecordReader {
public:
    ImageReader(const Volume& volume, int jobs) : image_(volume, jobs) {}

    bool next(Record& r) override {
        DecodedImage::View b;
        if (!image_.next(b)) return false;
        r = Record{b.mark ? Record::Tapemark : Record::Data, std::move(r.data)};
        r.offset = b.offset;
        r.length = b.length;
        if (r.data.size() < r.length) r.data.resize(r.length);
        if (r.length > 0) std::memcpy(r.data.data(), b.data, r.length);
        r.packing = b.compressed ? Packing::Bzip2 : Packing::Plain;
        r.scrambled = b.scrambled;
        return true;
    }

    long long consumed() const override { return image_.consumed(); }

private:
    DecodedImage image_;
};

class ImageWriter : public RecordWriter {
public:
    ImageWriter(ImageOut& out, const Options& o)
        : out_(out), o_(o), sink_(out, o.jobs, [this](int, long long number) {
              out_.warnAtCapacity("importing block " + std::to_string(number));
          }) {}

    Carries carries() const override {
        Carries c;
        c.maxBlock = 0x7FFFFFF0;
        c.compression = c.scrambling = true;
        return c;
    }

    void put(const Record& r) override {
        if (r.kind == Record::Tapemark) {
            sink_.tapemark(0, written_++);
        } else if (r.kind == Record::Data) {
            // A block keeps the compression or scrambling it had unless told otherwise.
            const bool pack = o_.compress || (r.packing != Packing::Plain && !o_.noCompress);
            const bool scramble = o_.scramble || (r.scrambled && !o_.noScramble);
            sink_.data(r.data.data(), static_cast<unsigned>(r.length),
                       (pack ? HF2_BZ2 : 0) | (scramble ? HF2_SCRAMBLE : 0), written_++);
        }  // the caller reports what an image cannot hold
    }

    void finish() override {
        sink_.drain();
        out_.close();
    }

private:
    ImageOut& out_;
    const Options& o_;
    EncodingOut sink_;
    long long written_ = 0;  // blocks and tapemarks
};

}  // namespace

std::unique_ptr<RecordReader> makeImageReader(const Volume& volume, int jobs) {
    return std::make_unique<ImageReader>(volume, jobs);
}

std::unique_ptr<RecordWriter> makeImageWriter(ImageOut& out, const Options& o) {
    return std::make_unique<ImageWriter>(out, o);
}

}  // namespace orvtool
