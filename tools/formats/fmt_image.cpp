// fmt_image.cpp - an orvtape image as a record stream, read and written
// through the library, so export and import share the converter with
// every other format.
#include "families.h"

#include "../volume.h"

#include <cerrno>
#include <cstring>

namespace orvtool {

namespace {

// Blocks come decoded from a DecodedWalk, which reads ahead while its
// workers decompress.
class ImageReader : public RecordReader {
public:
    ImageReader(ORVtape& tape, const std::string& path, int jobs)
        : volume_(tape, path), walk_(volume_, jobs, tape.maxRecordSize) {}

    bool next(Record& r) override {
        DecodedBlock b;
        if (!walk_.next(b)) return false;
        r = Record{b.length == 0 ? Record::Tapemark : Record::Data, std::move(r.data)};
        r.offset = b.offset;
        r.length = static_cast<size_t>(b.length);
        if (r.data.size() < r.length) r.data.resize(r.length);
        if (r.length > 0) std::memcpy(r.data.data(), b.data, r.length);
        r.packing = (b.flags2 & HF2_BZ2) ? Packing::Bzip2 : Packing::Plain;
        r.scrambled = (b.flags2 & HF2_SCRAMBLE) != 0;
        return true;
    }

    long long consumed() const override { return volume_.position(); }

private:
    VolumeStream volume_;
    DecodedWalk walk_;
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

std::unique_ptr<RecordReader> makeImageReader(ORVtape& tape, const std::string& path, int jobs) {
    return std::make_unique<ImageReader>(tape, path, jobs);
}

std::unique_ptr<RecordWriter> makeImageWriter(ORVtape& tape, const std::string& path,
                                              const Options& o) {
    return std::make_unique<ImageWriter>(tape, path, o);
}

}  // namespace orvtool
