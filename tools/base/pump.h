// pump.h - the one loop of the tool: every block of a source into a sink,
// with a count by kind and position of whatever the sink cannot carry, so
// that nothing is ever dropped silently.
#ifndef ORVTAPE_TOOL_BASE_PUMP_H
#define ORVTAPE_TOOL_BASE_PUMP_H

#include "block.h"
#include "progress.h"

#include <string>
#include <vector>

namespace orvtool {

// Offsets of one kind of event, the first few kept for the report.
struct Events {
    static constexpr std::size_t kPositionsShown = 10;
    long long count = 0;
    std::vector<long long> at, numbers;  // numbers: of the records, when the event names them
    void add(long long offset);
    void add(long long offset, long long number);
    // "1, 2, 3", with ", ..." when more happened than are kept.
    std::string where() const;
    // The same of the record numbers; "" when none were kept.
    std::string which() const;
};

// What a pump passed, and what the sink could not carry as it was.
struct Tally {
    long long blocks = 0, marks = 0;  // written, split pieces counted one by one
    Events gaps, flagged, empty, split, unpacked, unscrambled;
    Events privateRecords, descriptions, markers, reserved;  // skipped, by record
    long long endOfMedium = -1;  // offset of the end-of-medium mark, -1 when none
};

struct PumpSettings {
    std::string source;  // names the source in a refusal
    std::string target;  // what the sink writes, for "<target> takes at most ..."
    bool split = false;  // cut blocks longer than the sink takes instead of refusing them
};

// Passes every block of source into sink and finishes the sink; the caller
// commits the output.  Throws ToolError from either side, or for a block
// too long for the sink when splitting is off.
Tally pump(BlockSource& source, BlockSink& sink, Progress& progress, const PumpSettings& settings);

}  // namespace orvtool

#endif
