// mount.cpp - orvtape mount: a volume as a read-only directory.
#include "base/console.h"
#include "cmd/command.h"
#include "mount/fuse.h"
#include "mount/mounted.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <sys/stat.h>
#include <syslog.h>

namespace orvtool {

// mount IMAGE DIR [-f] [--cache SIZE]
struct MountArgs : Common {
    std::string image, dir, from;
    bool foreground = false, debug = false;
    unsigned long long cache = 64ull << 20;
};

namespace {

int cmdMount(const MountArgs& o) {
    struct stat dir;
    if (stat(o.dir.c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode))
        throw ToolError(o.dir, "is no directory to mount on", kExitUsage);
    std::unique_ptr<Mounted> m = openMounted(o.image, o.from, o);
    if (!m->index.damage.empty()) warn("%s", m->index.damage.c_str());
    // Failed reads are told on standard error, or to the system log once
    // the mount runs in the background without one.
    auto detached = std::make_shared<bool>(false);
    auto report = [detached](const std::string& line) {
        if (*detached) syslog(LOG_ERR, "%s", line.c_str());
        else std::fprintf(stderr, "orvtape: %s\n", line.c_str());
    };
    View view(std::move(m->index), m->survey.labels, m->json, *m->decoder, static_cast<std::size_t>(o.cache),
              report, o.jobs > 1 ? o.jobs : 0);  // -j 1: no thread of its own
    view.watch([&m] { return m->changed(); });
    ServeSettings settings;
    settings.dir = o.dir;
    settings.foreground = o.foreground || o.debug;
    settings.debug = o.debug;
    settings.image = m->opened;
    serve(view, settings, [detached] {
        openlog("orvtape", LOG_PID, LOG_USER);
        *detached = true;
    });
    return kExitOk;
}

Runner declareMount(CLI::App& c) {
    auto a = std::make_shared<MountArgs>();
    c.add_option("IMAGE", a->image, "the image file")->required();
    c.add_option("DIR", a->dir, "the directory to show it in")->required();
    c.add_flag("-f,--foreground", a->foreground, "stay in the foreground until unmounted");
    c.add_option("--cache", a->cache, "memory for decoded blocks (default 64M)")
        ->transform(CLI::AsSizeValue(false))
        ->check(CLI::Range(1ull, 1ull << 40));
    c.add_flag("--debug", a->debug, "trace every request of the kernel (implies -f)");
    declareFrom(c, a->from);
    return runWith(a, cmdMount);
}

}  // namespace
extern const Command mountCommand{"mount", "show a volume as a read-only directory (unmount: fusermount3 -u DIR)",
                                  declareMount};

}  // namespace orvtool
