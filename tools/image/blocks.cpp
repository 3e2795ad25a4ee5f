// blocks.cpp - an orvtape image as blocks, read through the library, so
// that export shares the pump with every other format.
#include "image/blocks.h"

#include "image/decode.h"

#include <orvTapeStream.h>

namespace orvtool {

namespace {

// Blocks come decoded from the pool, which reads ahead while its workers
// decompress; each is handed on as a view, not copied.
class ImageSource : public BlockSource {
public:
    ImageSource(const Volume& volume, int jobs, const Common& run)
        : walk_(volume, ReadMode::Stored), decoded_(walk_, jobs, run) {}

    bool next(Block& b) override { return decoded_.next(b); }
    long long consumed() const override { return decoded_.consumed(); }

private:
    BlockWalk walk_;
    ParallelDecode decoded_;
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

bool chainHoldsAhead(Probe& in) {
    orvTapeChainState state{};
    long long at = 0;
    while (at < static_cast<long long>(Probe::kWindow)) {
        const unsigned char* h = in.at(at, 6);
        if (!h) return at > 0 && (!in.complete() || at == in.end());
        if (orvTapeChainCheck(&state, h, nullptr) != ORVTAPE_OK) return false;
        at += 6 + state.prevLen;
    }
    return true;
}

std::unique_ptr<BlockSource> imageSource(const Volume& volume, int jobs, const Common& run) {
    return std::make_unique<ImageSource>(volume, jobs, run);
}

}  // namespace orvtool
