// fuse.h - the mounted view served through the kernel's FUSE interface.
#ifndef ORVTAPE_TOOL_MOUNT_FUSE_H
#define ORVTAPE_TOOL_MOUNT_FUSE_H

#include "mount/view.h"

#include <functional>
#include <string>
#include <sys/stat.h>

namespace orvtool {

struct ServeSettings {
    std::string dir;
    bool foreground = false;  // else in the background once mounted
    bool debug = false;       // FUSE's own trace of every request
    struct stat image {};     // owner and times that the files show
};

// Mounts view read-only on settings.dir and serves it on several threads
// until it is unmounted; in the background the caller's process returns
// once the directory is mounted.  Throws ToolError when it cannot mount.
// onDetach runs in the process that serves, after it left the terminal.
void serve(const View& view, const ServeSettings& settings, const std::function<void()>& onDetach);

}  // namespace orvtool

#endif
