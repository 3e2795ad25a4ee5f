// write_options.h - the options of the commands that write images (put,
// copy, import), declared and checked in one place.
#ifndef ORVTAPE_TOOL_CMD_WRITE_OPTIONS_H
#define ORVTAPE_TOOL_CMD_WRITE_OPTIONS_H

#include "image/sink.h"

namespace CLI {
class App;
}

namespace orvtool {

// --compress, --scramble, --segment-size, --capacity, --sync into w; with
// copyFlags also --no-compress and --no-scramble, for commands whose blocks
// come with transforms of their own.
void declareWriteOptions(CLI::App& c, WriteSettings& w, bool copyFlags);
// Throws a usage error when a flag and its --no- form are both given.
void checkWriteSettings(const WriteSettings& w);

}  // namespace orvtool

#endif
