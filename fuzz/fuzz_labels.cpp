// fuzz_labels.cpp - the labels wing on hostile bytes: the label parser on a
// block of any length, the layout reader over a block stream cut from the
// input, and the unblocker in every record format.  A ToolError is an
// expected outcome; a crash, a sanitizer report or a broken invariant is not.
#include "base/error.h"
#include "labels/dataset.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace orvtool;

namespace {

// Blocks cut from the input: each starts with one byte, 0 a tapemark, 1 an
// 80-byte block, otherwise that many bytes (all that is left at the end).
class CutBlocks : public BlockSource {
public:
    CutBlocks(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool next(Block& b) override {
        if (at_ >= n_) return false;
        const size_t want = p_[at_] == 1 ? 80 : p_[at_];
        ++at_;
        b = Block{};
        b.kind = want == 0 ? Kind::Mark : Kind::Data;
        b.length = std::min(want, n_ - at_);
        b.data = p_ + at_;
        at_ += b.length;
        return true;
    }
    long long consumed() const override { return static_cast<long long>(at_); }

private:
    const uint8_t* p_;
    size_t n_, at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const char* text = reinterpret_cast<const char*>(data);
    Label l;
    if (parseLabel(text, size, l) && size != kLabelBytes) std::abort();
    if (size >= kLabelBytes && parseLabel(text, kLabelBytes, l)) (void)labelDate(l.created);
    labelDate(std::string(text, std::min<size_t>(size, 6)));

    CutBlocks blocks(data, size);
    LabelledVolume v = readLabels(blocks);
    if (!v.labelled && (!v.sets.empty() || !v.warnings.empty())) std::abort();

    static const char* const kFormats[] = {"U", "F", "FB", "V", "VB", "VS", "VBS"};
    for (const char* name : kFormats) {
        RecordFormat f;
        parseRecfm(name, f);
        f.lrecl = data[0] % 16;
        Unblocker u(f, data[0] & 1, data[0] & 2, data[0] & 4, data[0] & 8 ? '\x40' : ' ');
        CutBlocks in(data + 1, size - 1);
        std::string out;
        try {
            long long n = 0;
            for (Block b; in.next(b);)
                if (b.kind == Kind::Data) u.block(reinterpret_cast<const char*>(b.data), b.length, n++, out);
            u.finish();
        } catch (const ToolError&) {
        }
    }
    return 0;
}
