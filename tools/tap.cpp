#include "orvtape.h"
namespace orvtool { int cmdExport(const Options&) { throw ToolError("", "export: not built yet"); }
int cmdImport(const Options&) { throw ToolError("", "import: not built yet"); } }
