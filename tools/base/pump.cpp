// pump.cpp - the source-to-sink loop and its tally.
#include "pump.h"

#include "error.h"

#include <algorithm>

namespace orvtool {

void Events::add(long long offset) {
    if (at.size() < kPositionsShown) at.push_back(offset);
    ++count;
}

void Events::add(long long offset, long long number) {
    if (numbers.size() < kPositionsShown) numbers.push_back(number);
    add(offset);
}

namespace {

std::string listed(const std::vector<long long>& values, long long count) {
    std::string s;
    for (long long v : values) s += (s.empty() ? "" : ", ") + std::to_string(v);
    return s + (count > static_cast<long long>(values.size()) ? ", ..." : "");
}

}  // namespace

std::string Events::where() const { return listed(at, count); }
std::string Events::which() const { return numbers.empty() ? "" : listed(numbers, count); }

namespace {

// A data block, cut into pieces the sink can hold when allowed: each piece
// a view into the block, so nothing is copied.
void putData(BlockSink& sink, const Carries& c, const Block& b, const PumpSettings& s, Tally& t) {
    if (b.length <= c.maxBlock) {
        sink.put(b);
        ++t.blocks;
        return;
    }
    if (!s.split)
        throw ToolError(s.source, "block " + std::to_string(t.blocks + t.marks) + " at offset " +
                                      std::to_string(b.offset) + " holds " + std::to_string(b.length) + " bytes; " +
                                      s.target + " takes at most " + std::to_string(c.maxBlock) +
                                      " per block (--split cuts longer blocks into several)");
    t.split.add(b.offset);
    Block piece = b;
    piece.stored = nullptr;  // a piece has no stored form of its own
    piece.storedLength = 0;
    for (std::size_t done = 0; done < b.length; done += piece.length) {
        piece.data = b.data + done;
        piece.length = std::min(c.maxBlock, b.length - done);
        sink.put(piece);
        ++t.blocks;
    }
}

// A record whose class says it is no data of the tape: passed on only to a
// sink that holds that class.
bool passesClass(const Carries& c, const Block& b, Tally& t) {
    namespace rc = record_class;
    const unsigned char k = b.recordClass;
    Events& skipped = rc::reserved(k) ? t.reserved : k == rc::kDescription ? t.descriptions : t.privateRecords;
    const bool carried = rc::reserved(k) ? false : k == rc::kDescription ? c.descriptions : c.privateRecords;
    if (!carried) skipped.add(b.offset, b.number);
    return carried;
}

}  // namespace

Tally pump(BlockSource& source, BlockSink& sink, Progress& progress, const PumpSettings& s) {
    const Carries c = sink.carries();
    Tally t;
    Block b;
    long long shown = 0;
    while (source.next(b)) {
        switch (b.kind) {
        case Kind::Gap:
            if (c.gaps)
                sink.put(b);
            else
                t.gaps.add(b.offset);
            break;
        case Kind::EndOfMedium:
            t.endOfMedium = b.offset;
            if (c.endOfMedium) sink.put(b);
            break;
        case Kind::Mark:
            sink.put(b);
            ++t.marks;
            break;
        case Kind::Marker:
            if (c.markers)
                sink.put(b);
            else
                t.markers.add(b.offset, b.number);
            break;
        case Kind::Data:
            if (!record_class::tapeData(b.recordClass) && !passesClass(c, b, t)) break;
            if (b.length == 0 && !c.readErrors) {
                t.empty.add(b.offset, b.number);  // only a flagged block can be empty
                break;
            }
            if (b.readError && !c.readErrors) t.flagged.add(b.offset, b.number);
            if (b.packing != Packing::None && !c.compression) t.unpacked.add(b.offset);
            if (b.scrambled && !c.scrambling) t.unscrambled.add(b.offset);
            putData(sink, c, b, s, t);
            break;
        }
        const long long now = source.consumed();
        progress.advance(static_cast<unsigned long long>(now - shown));
        shown = now;
    }
    sink.finish();
    progress.finish();
    return t;
}

}  // namespace orvtool
