// manifest.cpp - check --manifest: a volume's files summed again and
// compared with what get --all wrote down, so that a copy kept elsewhere
// can be trusted or found out.
#include "base/common.h"
#include "cmd/extract.h"
#include "cmd/source.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace orvtool {

namespace {

using Json = nlohmann::json;

struct Entry {
    unsigned long long bytes = 0, blocks = 0;
    std::string sha256;
};

// The manifest's files by number; throws a usage error (exit 2) when it
// cannot be read or is not one get --all writes.
std::map<long long, Entry> readManifest(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in.is_open() || in.bad()) throw ToolError(path, "cannot read the manifest " + cause(0, errno), kExitUsage);
    std::map<long long, Entry> files;
    try {
        const Json j = Json::parse(text.str());
        if (j.value("content", "stored") != "stored")
            throw ToolError(path, "holds the sums of records; the volume's files are compared as stored", kExitUsage);
        for (const Json& f : j.at("files")) {
            Entry e{f.at("bytes").get<unsigned long long>(), f.at("blocks").get<unsigned long long>(),
                    f.at("sha256").get<std::string>()};
            if (!files.emplace(f.at("file").get<long long>(), e).second)
                throw ToolError(path, "lists file " + f.at("file").dump() + " twice", kExitUsage);
        }
    } catch (const Json::exception& e) {
        throw ToolError(path, std::string("is not a manifest of orvtape get --all (") + e.what() + ")", kExitUsage);
    }
    return files;
}

}  // namespace

int checkManifest(const std::string& image, const std::string& from, const std::string& manifest, const Common& run) {
    std::map<long long, Entry> listed = readManifest(manifest);
    Source volume = openSource(image, from, run);
    long long differences = 0;
    auto differ = [&](long long file, const std::string& what) {
        std::printf("%s: file %lld: %s\n", image.c_str(), file, what.c_str());
        ++differences;
    };
    std::vector<FileSum> sums;
    try {
        sums = readingAgain(volume, [&] { return sumFiles(*volume.blocks()); });
    } catch (const ToolError& e) {
        std::printf("%s\n", e.what());
        return kExitFailure;
    }
    for (const FileSum& s : sums) {
        const auto it = listed.find(s.file);
        if (it == listed.end()) {
            differ(s.file, "on the volume, not in the manifest");
            continue;
        }
        const Entry& e = it->second;
        if (s.bytes != e.bytes)
            differ(s.file, std::to_string(s.bytes) + " bytes, the manifest says " + std::to_string(e.bytes));
        if (s.blocks != e.blocks)
            differ(s.file, std::to_string(s.blocks) + " blocks, the manifest says " + std::to_string(e.blocks));
        if (s.sha256 != e.sha256) differ(s.file, "sha256 " + s.sha256 + ", the manifest says " + e.sha256);
        listed.erase(it);
    }
    for (const auto& [file, e] : listed) differ(file, "in the manifest, not on the volume");
    if (differences)
        std::printf("%s: %lld difference%s from %s\n", image.c_str(), differences, differences == 1 ? "" : "s",
                    manifest.c_str());
    else
        std::printf("%s: %zu files match %s\n", image.c_str(), sums.size(), manifest.c_str());
    return differences ? kExitFailure : kExitOk;
}

}  // namespace orvtool
