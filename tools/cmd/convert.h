// convert.h - import, export and copy between formats: one set of
// arguments, a format's reader pumped into another's writer.
#ifndef ORVTAPE_TOOL_CMD_CONVERT_H
#define ORVTAPE_TOOL_CMD_CONVERT_H

#include "base/common.h"
#include "image/sink.h"

#include <string>

namespace orvtool {

// import IN IMAGE, export IMAGE OUT and copy IN OUT: each command declares
// the options it takes.
struct ConvertArgs : Common, WriteSettings {
    std::string source, target;
    bool force = false;
    std::string from, to;         // --from, --to
    std::string method = "keep";  // export --compress: keep, none, zlib, bzip2
    int level = 0;                // export --level, 0: the method's default
    int chunk = 65535;            // export --chunk
    bool split = false;           // --split
};

int cmdImport(const ConvertArgs& o);
int cmdExport(const ConvertArgs& o);
// copy where either end is not an image: import, export, or one foreign
// format into another; -1 when both ends are images.
int copyAcross(const ConvertArgs& o);

}  // namespace orvtool

#endif
