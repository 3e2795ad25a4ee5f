// reports.h - how ls and check print what they found: text for people,
// JSON for scripts.
#ifndef ORVTAPE_TOOL_CMD_REPORTS_H
#define ORVTAPE_TOOL_CMD_REPORTS_H

#include "image/survey.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace orvtool {

// ls: the data sets of a labelled volume unless listBlocks, else one line
// per file (and block) and the totals; warnings and the failure that cut
// the walk short go to standard error, in their place among the lines.
void renderText(const Survey& s, bool listBlocks, std::FILE* out);
nlohmann::ordered_json renderJson(const Survey& s, bool listBlocks);

// check: the verdict and what it rests on.
void renderText(const Findings& f, std::FILE* out);
nlohmann::ordered_json renderJson(const Findings& f);

}  // namespace orvtool

#endif
