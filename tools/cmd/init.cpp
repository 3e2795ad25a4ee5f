// init.cpp - orvtape init: a new, empty volume.
#include "cmd/command.h"
#include "base/console.h"
#include "base/files.h"
#include "image/sink.h"

#include <CLI/CLI.hpp>

namespace orvtool {

// init IMAGE [-f]
struct InitArgs : Common {
    std::string image;
    bool force = false;
};


int cmdInit(const InitArgs& o) {
    ImageLock lock(o.wait);
    if (o.image != "-") lock.claim(o.image);
    refuseToReplace(o.image, o.force, false);
    NewFile file(o.image, false, o.force, &lock);
    // An empty volume holds only its end-of-volume mark.
    ImageSink image(file.fd(), o.image, WriteSettings{});
    Block mark;
    mark.kind = Kind::Mark;
    image.put(mark);
    image.finish();
    file.commit();
    note(o, "%s: new empty volume", o.image.c_str());
    return kExitOk;
}

namespace {
Runner declareInit(CLI::App& c) {
    auto a = std::make_shared<InitArgs>();
    c.add_option("IMAGE", a->image, "the image file")->required();
    c.add_flag("-f,--force", a->force, "replace a non-empty file");
    return runWith(a, cmdInit);
}

}  // namespace
extern const Command initCommand{"init", "make a new, empty volume", declareInit};

}  // namespace orvtool
