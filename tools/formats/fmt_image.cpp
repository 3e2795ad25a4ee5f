// fmt_image.cpp - an orvtape image as a record stream, read and written
// through the library, so export and import share the converter with
// every other format.
#include "families.h"

#include "../image_out.h"
#include "../volume.h"

#include <cerrno>

namespace orvtool {

namespace {

class ImageReader : public RecordReader {
public:
    ImageReader(ORVtape& tape, std::string path) : tape_(tape), path_(std::move(path)) {
        size_ = imageSize(tape);
    }

    bool next(Record& r) override {
        r = Record{Record::Data, std::move(r.data)};
        if (r.data.size() < static_cast<size_t>(tape_.maxRecordSize))
            r.data.resize(static_cast<size_t>(tape_.maxRecordSize));
        tape_.getPosition();
        r.offset = tape_.curPos;
        int xform = peekTransforms(tape_);
        int rc = readWhole(tape_, r.data);
        tape_.getPosition();
        at_ = tape_.curPos;
        if (rc == -2 && r.offset >= size_) return false;
        if (rc < 0) throw readError(path_, tape_, r.offset, rc);
        r.kind = rc == 0 ? Record::Tapemark : Record::Data;
        r.length = static_cast<size_t>(rc);
        r.packing = (xform & HF2_BZ2) ? Packing::Bzip2 : Packing::Plain;
        r.scrambled = (xform & HF2_SCRAMBLE) != 0;
        return true;
    }

    long long consumed() const override { return at_; }

private:
    ORVtape& tape_;
    std::string path_;
    long long size_ = 0, at_ = 0;
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

std::unique_ptr<RecordReader> makeImageReader(ORVtape& tape, const std::string& path) {
    return std::make_unique<ImageReader>(tape, path);
}

std::unique_ptr<RecordWriter> makeImageWriter(ImageOut& out, const Options& o) {
    return std::make_unique<ImageWriter>(out, o);
}

}  // namespace orvtool
