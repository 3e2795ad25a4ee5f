// losses.h - what a pump could not carry into its sink, told to the user:
// a warning for each kind of entry skipped or changed, a note for the rest.
#ifndef ORVTAPE_TOOL_BASE_LOSSES_H
#define ORVTAPE_TOOL_BASE_LOSSES_H

#include "common.h"
#include "pump.h"

#include <string>

namespace orvtool {

// src names the source; target what it went to, as a sentence names it
// ("an orvtape image", "SIMH .tap", "a tape drive").
void reportLosses(const Common& o, const std::string& src, const std::string& target, const Tally& t);

}  // namespace orvtool

#endif
