// options.cpp - the command line of orvtape and its dispatch to the commands.
#include "formats/records.h"
#include "orvtape.h"
#include "pipeline.h"
#include "safe_file.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>

#ifndef ORVTAPE_VERSION
#define ORVTAPE_VERSION "unknown"
#endif

namespace orvtool {
namespace {

struct Command {
    CLI::App* app;
    std::function<int(const Options&)> run;
};

void addWriteOptions(CLI::App* c, Options& o, bool copyFlags) {
    c->add_flag("--compress", o.compress, "store blocks bzip2-compressed when that is shorter");
    c->add_flag("--scramble", o.scramble, "store blocks scrambled");
    if (copyFlags) {
        c->add_flag("--no-compress", o.noCompress, "store every block uncompressed");
        c->add_flag("--no-scramble", o.noScramble, "store every block unscrambled");
    }
    c->add_option("--segment-size", o.segmentSize, "largest segment payload in bytes")
        ->check(CLI::Range(16, 65535));
    c->add_option("--capacity", o.capacity,
                  "tape capacity: warn when writing reaches it (suffixes K, M, G)")
        ->transform(CLI::AsSizeValue(false));
    c->add_flag("--sync", o.sync, "flush the image to the device before the command ends");
}

}  // namespace

int runTool(int argc, char** argv) {
    Options o;
    CLI::App app{"orvtape - create, fill, list, check, extract, copy, convert and recover tape images"};
    app.name("orvtape");
    app.set_version_flag("--version", "orvtape " ORVTAPE_VERSION);
    app.add_flag("-q,--quiet", o.quiet, "no progress line or notes on standard error");
    app.add_option("-j,--jobs", o.jobs,
                   "threads that compress, scramble or decode blocks (default: the cores available; 1: none)")
        ->check(CLI::Range(1, 256));
    app.add_flag("--wait", o.wait, "wait for an image that another process has in use");
    app.add_option("--max-block", o.maxBlock,
                   "largest block to read or import, in bytes (default 64M, at most 1G)")
        ->transform(CLI::AsSizeValue(false))
        ->check(CLI::Range(1ull, 1ull << 30));
    app.require_subcommand(1);
    app.fallthrough();
    app.footer("Run 'orvtape help COMMAND' or 'orvtape COMMAND --help' for a command's options.");

    std::map<std::string, Command> cmds;
    auto add = [&](const char* name, const char* what, std::function<int(const Options&)> run) {
        CLI::App* c = app.add_subcommand(name, what);
        cmds[name] = Command{c, std::move(run)};
        return c;
    };

    CLI::App* c = add("init", "make a new, empty volume", cmdInit);
    c->add_option("IMAGE", o.image, "the image file")->required();
    c->add_flag("-f,--force", o.force, "replace a non-empty file");

    c = add("put", "write host files onto the volume, one tape file each", cmdPut);
    c->add_option("IMAGE", o.image, "the image file (created when missing)")->required();
    c->add_option("FILE", o.files, "host files; - for standard input")->required();
    c->add_option("-b,--block-size", o.blockSize, "block size in bytes (default 32768)")
        ->transform(CLI::AsSizeValue(false));
    c->add_flag("-a,--append", o.append, "add after the files already on the volume");
    c->add_flag("-f,--force", o.force, "replace a non-empty file that is not a volume");
    c->add_option("--label", o.label, "build a labelled volume with this volume serial")
        ->check([](const std::string& v) {
            return v.empty() || v.size() > 6 ? std::string("a volume serial is 1 to 6 characters")
                                             : std::string();
        });
    c->add_flag("--ansi", o.ansi, "ANSI labels in ASCII instead of standard labels in EBCDIC");
    c->add_option("--name", o.names, "data set name of the next input (default: its file name)");
    c->add_option("--recfm", o.recfm, "record format: U (default), F or FB");
    c->add_option("--lrecl", o.lrecl, "record length of F and FB")->check(CLI::Range(1, 32760));
    c->add_flag("--ebcdic", o.ebcdic,
                "convert text input to EBCDIC; with F or FB each line is one record");
    addWriteOptions(c, o, false);

    c = add("ls", "list the tape files of a volume", cmdLs);
    c->add_option("IMAGE", o.image, "the image file")->required();
    c->add_flag("--blocks", o.blocks, "one line per block as well");
    c->add_flag("--json", o.json, "JSON output for scripts");

    c = add("check", "check an image; exit 0 clean, 1 defect, 2 usage or I/O error", cmdCheck);
    c->add_option("IMAGE", o.image, "the image file")->required();
    c->add_flag("--json", o.json, "JSON output for scripts");
    c->add_flag("--deep", o.deep, "decode every block and report each that does not decode");

    c = add("get", "extract tape file N (from 0) or a data set to OUT or standard output", cmdGet);
    c->add_option("IMAGE", o.image, "the image file")->required();
    c->add_option("N", o.fileArg, "tape file number, 0 for the first (none with --name, --dataset)");
    c->add_option("OUT", o.out, "output file; - or none for standard output");
    c->add_flag("-f,--force", o.force, "replace a non-empty OUT");
    c->add_option("--name", o.dsName, "the data set of this name on a labelled volume");
    c->add_option("--dataset", o.dataSet, "data set K (from 1) of a labelled volume")
        ->check(CLI::Range(1ll, 0x7FFFFFFFll));
    c->add_flag("--unblock", o.unblock, "the records of the blocks, without descriptor words");
    c->add_flag("--ascii", o.ascii, "EBCDIC to ASCII, one record a line (implies --unblock)");
    c->add_flag("--strip", o.strip, "remove trailing blanks of records (implies --unblock)");
    c->add_option("--recfm", o.recfm, "record format when there are no labels: U, F, FB, V, VB, VBS");
    c->add_option("--lrecl", o.lrecl, "record length of F and FB")->check(CLI::Range(1, 32760));

    c = add("dump", "show one block as hex and text", cmdDump);
    c->add_option("IMAGE", o.image, "the image file")->required();
    c->add_option("BLOCK", o.blockNo, "block number (tapemarks count), 0 for the first")
        ->required();
    c->add_flag("--ebcdic", o.ebcdic, "show the text column in EBCDIC (code page 037)");

    c = add("copy", "re-write every block and tapemark into a new image and verify it", cmdCopy);
    c->add_option("SRC", o.source, "the image to copy")->required();
    c->add_option("DST", o.target, "the new image")->required();
    c->add_flag("-f,--force", o.force, "replace a non-empty DST");
    addWriteOptions(c, o, true);

    c = add("export", "write the volume in another emulator's tape format", cmdExport);
    c->add_option("IMAGE", o.source, "the image file")->required();
    c->add_option("OUT", o.target, "the new file; - for standard output")->required();
    c->add_option("--to", o.format, "tap, e11, tpc, aws or het")
        ->required()
        ->check(CLI::IsMember(interchangeFormats()));
    c->add_option("--compress", o.method,
                  "het: zlib or bzip2 for every block, none, or keep (default: compressed "
                  "blocks go out bzip2, the others plain)")
        ->check(CLI::IsMember({"keep", "none", "zlib", "bzip2"}));
    c->add_option("--level", o.level, "het: compression level 1-9")->check(CLI::Range(1, 9));
    c->add_option("--chunk", o.chunk, "aws, het: largest chunk payload (default 65535)")
        ->check(CLI::Range(16, 65535));
    c->add_flag("--split", o.split,
                "cut blocks longer than the format takes into several instead of refusing");
    c->add_flag("-f,--force", o.force, "replace a non-empty OUT");

    c = add("import", "make a volume from another emulator's tape file", cmdImport);
    c->add_option("IN", o.source, "the file; - for standard input")->required();
    c->add_option("IMAGE", o.target, "the new image; - for standard output")->required();
    c->add_option("--from", o.format, "tap, e11, tpc, aws or het (default: detected)")
        ->check(CLI::IsMember(interchangeFormats()));
    c->add_flag("-f,--force", o.force, "replace a non-empty IMAGE");
    addWriteOptions(c, o, true);

    c = add("recover", "salvage every readable block of a damaged image into a new one",
            cmdRecover);
    c->add_option("SRC", o.source, "the damaged image")->required();
    c->add_option("DST", o.target, "the new image")->required();
    c->add_flag("-f,--force", o.force, "replace a non-empty DST");

    std::string helpFor;
    CLI::App* help = app.add_subcommand("help", "show the help of the tool or of a command");
    help->add_option("COMMAND", helpFor, "a command");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        // The first word that is no option names the command.
        for (int i = 1; i < argc; ++i) {
            if (std::strcmp(argv[i], "--max-block") == 0 || std::strcmp(argv[i], "-j") == 0 ||
                std::strcmp(argv[i], "--jobs") == 0) {
                ++i;
                continue;
            }
            if (argv[i][0] == '-') continue;
            if (!cmds.count(argv[i]) && std::strcmp(argv[i], "help") != 0) {
                std::fprintf(stderr, "orvtape: unknown command '%s'\nRun 'orvtape --help' for usage.\n",
                             argv[i]);
                return kExitUsage;
            }
            break;
        }
        std::fprintf(stderr, "orvtape: %s\nRun 'orvtape --help' for usage.\n", e.what());
        return kExitUsage;
    }

    if (help->parsed()) {
        if (helpFor.empty()) {
            std::fputs(app.help().c_str(), stdout);
            return kExitOk;
        }
        auto it = cmds.find(helpFor);
        if (it == cmds.end()) {
            std::fprintf(stderr, "orvtape: help: no command '%s'\n", helpFor.c_str());
            return kExitUsage;
        }
        std::fputs(it->second.app->help("orvtape").c_str(), stdout);
        return kExitOk;
    }
    if (o.jobs == 0) o.jobs = defaultJobs();
    quietThreadNote = o.quiet;
    if (o.compress && o.noCompress) {
        std::fprintf(stderr, "orvtape: --compress and --no-compress exclude each other\n");
        return kExitUsage;
    }
    if (o.scramble && o.noScramble) {
        std::fprintf(stderr, "orvtape: --scramble and --no-scramble exclude each other\n");
        return kExitUsage;
    }
    for (auto& [name, cmd] : cmds) {
        if (!cmd.app->parsed()) continue;
        // check tells a defect (1) from a failure to look (2).
        const int failed = name == "check" ? kExitUsage : kExitFailure;
        try {
            int status = cmd.run(o);
            return finishStdout() ? status : failed;
        } catch (const ToolError& e) {
            finishStdout();
            std::fprintf(stderr, "orvtape: %s\n", e.what());
            return name == "check" ? kExitUsage : e.status();
        } catch (const std::bad_alloc&) {
            finishStdout();
            std::fprintf(stderr, "orvtape: %s: out of memory\n", name.c_str());
            return failed;
        } catch (const std::exception& e) {
            // Anything else the system refused: unwound, so no temporary file stays.
            finishStdout();
            std::fprintf(stderr, "orvtape: %s: %s\n", name.c_str(), e.what());
            return failed;
        }
    }
    return kExitUsage;
}

}  // namespace orvtool

int main(int argc, char** argv) {
    orvtool::reopenClosedStdStreams();
    orvtool::guardStdout();
    int status = orvtool::runTool(argc, argv);
    return orvtool::finishStdout() || status != 0 ? status : orvtool::kExitFailure;
}
