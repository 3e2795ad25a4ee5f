// mounted.h - a volume made ready to mount: opened once, read-only and
// locked; listed as ls --json lists it; indexed; and a decoder that reads
// any indexed block again, an image's through the library, a foreign
// file's through its format's reader.
#ifndef ORVTAPE_TOOL_MOUNT_MOUNTED_H
#define ORVTAPE_TOOL_MOUNT_MOUNTED_H

#include "cmd/source.h"
#include "image/survey.h"
#include "mount/index.h"
#include "mount/view.h"

#include <memory>
#include <string>
#include <sys/stat.h>

namespace orvtool {

struct Mounted {
    Source source;
    std::unique_ptr<Volume> held;  // a foreign file's descriptor and lock (an image's is source.image)
    Survey survey;
    std::string json;  // what ls --json prints
    VolumeIndex index;
    std::unique_ptr<BlockDecoder> decoder;
    struct stat opened {};  // the file as mounted: its times for the view, its size and mtime to watch

    const Volume& volume() const { return source.image ? *source.image : *held; }
    // Why the file can no longer be read as indexed, "" while it can.
    std::string changed() const;
};

// Opens path (read as from says) and indexes it in one pass over its
// headers; throws ToolError when it cannot be opened at all.  A volume
// damaged on the way is indexed up to the damage.
std::unique_ptr<Mounted> openMounted(const std::string& path, const std::string& from, const Common& run);

}  // namespace orvtool

#endif
