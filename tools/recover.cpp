#include "orvtape.h"
namespace orvtool { int cmdRecover(const Options&) { throw ToolError("", "recover: not built yet"); } }
