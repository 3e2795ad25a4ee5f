// blocks.cpp - an orvtape image as blocks, read and written through
// the library, so export and import share the pump with every other format.
#include "image/blocks.h"

#include "image/decode.h"
#include "image/out.h"

#include <orvTapeStream.h>

namespace orvtool {

namespace {

// Blocks come decoded from the pool, which reads ahead while its workers
// decompress; each is handed on as a view, not copied.
class ImageSource : public BlockSource {
public:
    ImageSource(const Volume& volume, int jobs) : walk_(volume, ReadMode::Stored), decoded_(walk_, jobs) {}

    bool next(Block& b) override { return decoded_.next(b); }
    long long consumed() const override { return decoded_.consumed(); }

private:
    BlockWalk walk_;
    ParallelDecode decoded_;
};

class ImageSink : public BlockSink {
public:
    ImageSink(ImageOut& out, const WriteSettings& o, int jobs)
        : out_(out), o_(o), sink_(out, jobs, [this](int, long long number) {
              out_.warnAtCapacity("importing block " + std::to_string(number));
          }) {}

    Carries carries() const override {
        Carries c;
        c.maxBlock = 0x7FFFFFF0;
        c.compression = c.scrambling = true;
        return c;
    }

    void put(const Block& b) override {
        if (b.kind == Kind::Mark) {
            sink_.tapemark(0, written_++);
        } else if (b.kind == Kind::Data) {
            // A block keeps the compression or scrambling it had unless told otherwise.
            const bool pack = o_.compress || (b.packing != Packing::None && !o_.noCompress);
            const bool scramble = o_.scramble || (b.scrambled && !o_.noScramble);
            sink_.data(b.data, static_cast<unsigned>(b.length),
                       (pack ? HF2_BZ2 : 0) | (scramble ? HF2_SCRAMBLE : 0), written_++);
        }  // the pump reports what an image cannot hold
    }

    void finish() override {
        sink_.drain();
        out_.close();
    }

private:
    ImageOut& out_;
    const WriteSettings& o_;
    EncodingOut sink_;
    long long written_ = 0;  // blocks and tapemarks
};

}  // namespace

int imageBid(Probe& in, int best, std::string*) {
    if (best > 0) return 0;  // an aws file is an image too: the walk would only say so again
    orvTapeChainState state{};
    long long at = 0;
    bool transformed = false;
    while (const unsigned char* h = in.at(at, 6)) {
        if (orvTapeChainCheck(&state, h, nullptr) != ORVTAPE_OK) return 0;
        transformed = transformed || state.blockFlags2 != 0;
        at += 6 + state.prevLen;
    }
    if (at == 0 || (in.complete() && at != in.end())) return 0;
    return transformed ? 70 : 0;
}

std::unique_ptr<BlockSource> imageSource(const Volume& volume, int jobs) {
    return std::make_unique<ImageSource>(volume, jobs);
}

std::unique_ptr<BlockSink> imageSink(ImageOut& out, const WriteSettings& o, int jobs) {
    return std::make_unique<ImageSink>(out, o, jobs);
}

}  // namespace orvtool
