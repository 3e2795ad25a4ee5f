#include "orvtape.h"
namespace orvtool { int cmdCopy(const Options&) { throw ToolError("", "copy: not built yet"); } }
