// fmt_image.cpp - an orvtape image as a record stream, read and written
// through the library, so export and import share the converter with
// every other format.
#include "families.h"

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
    ImageWriter(ORVtape& tape, std::string path, const Options& o)
        : tape_(tape), path_(std::move(path)), o_(o) {}

    Carries carries() const override {
        Carries c;
        c.maxBlock = 0x7FFFFFF0;
        c.compression = c.scrambling = true;
        return c;
    }

    void put(const Record& r) override {
        if (r.kind == Record::Tapemark) {
            writeBlock(tape_, path_, nullptr, 0, 0);
        } else if (r.kind == Record::Data) {
            // A block keeps the compression or scrambling it had unless told otherwise.
            bool pack = o_.compress || (r.packing != Packing::Plain && !o_.noCompress);
            bool scramble = o_.scramble || (r.scrambled && !o_.noScramble);
            writeBlock(tape_, path_, r.data.data(), static_cast<unsigned>(r.length),
                       (pack ? HF2_BZ2 : 0) | (scramble ? HF2_SCRAMBLE : 0));
        } else {
            return;  // the caller reports what an image cannot hold
        }
        warnAtCapacity(tape_, o_, path_, "importing block " + std::to_string(written_++), warned_);
    }

    void finish() override {
        errno = 0;  // the library keeps errno as it finds it
        if (tape_.close() != 0) throw ToolError(path_, "cannot close the image " + cause(tape_));
    }

private:
    ORVtape& tape_;
    std::string path_;
    const Options& o_;
    long long written_ = 0;  // blocks and tapemarks
    bool warned_ = false;
};

}  // namespace

std::unique_ptr<RecordReader> makeImageReader(ORVtape& tape, const std::string& path) {
    return std::make_unique<ImageReader>(tape, path);
}

std::unique_ptr<RecordWriter> makeImageWriter(ORVtape& tape, const std::string& path,
                                              const Options& o) {
    return std::make_unique<ImageWriter>(tape, path, o);
}

}  // namespace orvtool
