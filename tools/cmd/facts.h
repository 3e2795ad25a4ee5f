// facts.h - the facts ls and check report of a foreign file read in place,
// gathered into the same structs as an image's, so that one renderer
// prints both.
#ifndef ORVTAPE_TOOL_CMD_FACTS_H
#define ORVTAPE_TOOL_CMD_FACTS_H

#include "cmd/source.h"
#include "image/survey.h"

#include <vector>

namespace orvtool {

// What one pass over a foreign file found: the listing (files, totals and
// labels as its import would list them; every entry when listBlocks), its
// records, and its defects in file order: each bad record, then the place
// where the file breaks its format's rules, where it does.
struct ForeignFacts {
    Survey survey;
    long long records = 0;
    std::vector<Defect> defects;
};

ForeignFacts surveyForeign(ForeignFile& file, const std::string& path, bool listBlocks);

// check's findings from those facts.
Findings foreignFindings(ForeignFacts facts);

}  // namespace orvtool

#endif
