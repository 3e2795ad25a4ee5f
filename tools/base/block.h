// block.h - the one view of a block that flows through the tool: every
// reader of a volume (an image, a foreign format, the input of put) is a
// BlockSource, every writer a BlockSink, and a command is a source pumped
// into a sink.  Knows nothing of images or formats.
#ifndef ORVTAPE_TOOL_BASE_BLOCK_H
#define ORVTAPE_TOOL_BASE_BLOCK_H

#include <cstddef>
#include <cstdint>

namespace orvtool {

enum class Kind {
    Data,
    Mark,        // a tapemark
    Gap,         // an erase gap; only foreign formats have them
    EndOfMedium,  // the medium's end, as a foreign format records it
    Marker        // a private marker of a foreign format: no data, its value in Block::value
};

// The class a foreign format gave a record, where it gives one (0 from
// every other source).  Only good and bad records are tape data every sink
// can hold; the others mean something to their writer alone.
namespace record_class {
constexpr unsigned char kGood = 0;
constexpr unsigned char kBad = 8;  // data in doubt: readError is set too
constexpr unsigned char kPrivateFirst = 1, kPrivateLast = 6;
constexpr unsigned char kDescription = 14;  // free text or data about the tape
// Neither data of the tape nor anything a sink may hold: skipped, counted.
constexpr bool reserved(unsigned char c) { return c > kBad && c != kDescription; }
// Data of the tape itself, whatever its quality; every other class means
// something to its own format alone.
constexpr bool tapeData(unsigned char c) { return c == kGood || c == kBad; }
}  // namespace record_class

// Compression a block had where it was read, so that a sink able to store
// compressed blocks can keep it.
enum class Packing { None, Zlib, Bzip2 };

// A view of one block, valid until the next call on the source that made
// it.  A block may come decoded (data), stored (the opaque stored form of
// an image, which only the image wing interprets), or both.
struct Block {
    Kind kind = Kind::Data;
    const unsigned char* data = nullptr;  // decoded bytes; null when only the stored form is held
    std::size_t length = 0;               // decoded length, known even when data is null
    const unsigned char* stored = nullptr;  // the image's stored payload, when the source kept it
    std::size_t storedLength = 0;
    Packing packing = Packing::None;  // how the source held it
    bool scrambled = false;           // held scrambled in the source
    bool readError = false;           // the source flagged it as read badly
    bool isLabel = false;             // a label block of a labelled volume
    unsigned char recordClass = record_class::kGood;  // as the source classed the record
    std::uint32_t value = 0;                          // a Marker's value
    long long offset = 0;             // where it starts in its source
    long long number = 0;             // blocks and tapemarks before it in its source
};

// What a sink can hold beyond plain blocks and tapemarks; whatever it
// cannot carry is reported with its count and positions, never dropped
// silently.
struct Carries {
    std::size_t maxBlock = SIZE_MAX;  // longest block
    bool gaps = false, readErrors = false, endOfMedium = false;
    bool compression = false, scrambling = false;
    bool privateRecords = false, descriptions = false, markers = false;
};

class BlockSource {
public:
    virtual ~BlockSource() = default;
    // The next block into b; false at the end of the source.  Throws
    // ToolError when the source cannot be read or is malformed.
    virtual bool next(Block& b) = 0;
    // Bytes of the source consumed so far, for progress lines.
    virtual long long consumed() const = 0;
};

class BlockSink {
public:
    virtual ~BlockSink() = default;
    virtual Carries carries() const = 0;
    // Takes one block; throws ToolError when it cannot hold it.
    virtual void put(const Block& b) = 0;
    // Completes the output; nothing is final before it returns.
    virtual void finish() = 0;
};

}  // namespace orvtool

#endif
