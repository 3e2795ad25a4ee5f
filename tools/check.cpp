#include "orvtape.h"
namespace orvtool { int cmdCheck(const Options&) { throw ToolError("", "check: not built yet"); } }
