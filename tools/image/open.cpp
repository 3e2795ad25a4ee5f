// open.cpp - opening an image that a command turns into a new file.
#include "image/volume.h"
#include "orvtape.h"
#include "safe_file.h"

#include <unistd.h>

namespace orvtool {

Volume openSourceForNewFile(const std::string& source, const std::string& target, bool force, const Limits& limits,
                            ImageLock& dstLock) {
    Volume src = Volume::forReading(source, limits);
    refuseSameFile(source, STDIN_FILENO, target, STDOUT_FILENO);
    if (target != "-") dstLock.claim(target);
    refuseToReplace(target, force, false);
    return src;
}

}  // namespace orvtool
