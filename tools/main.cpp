// main.cpp - the command line of orvtape: the options every command shares,
// the table of commands, and the dispatch to the one named.
#include "cmd/command.h"
#include "base/console.h"
#include "base/pool.h"
#include "base/files.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>
#include <new>
#include <set>

#ifndef ORVTAPE_VERSION
#define ORVTAPE_VERSION "unknown"
#endif

namespace orvtool {

// The table: one row a command, each defined in its own file; the order is
// that of the help.
#define ORVTOOL_COMMANDS(ROW) \
    ROW(initCommand)          \
    ROW(putCommand)           \
    ROW(lsCommand)            \
    ROW(checkCommand)         \
    ROW(getCommand)           \
    ROW(dumpCommand)          \
    ROW(copyCommand)          \
    ROW(exportCommand)        \
    ROW(importCommand)        \
    ROW(recoverCommand)       \
    ROW(mountCommand)         \
    ROW(captureCommand)       \
    ROW(writeDriveCommand)

#define ORVTOOL_DECLARE(c) extern const Command c;
ORVTOOL_COMMANDS(ORVTOOL_DECLARE)
#define ORVTOOL_ENTRY(c) &c,
const Command* const kCommands[] = {ORVTOOL_COMMANDS(ORVTOOL_ENTRY)};

namespace {

struct Declared {
    const Command* command;
    CLI::App* app;
    Runner run;
};

void declareCommon(CLI::App& app, Common& c) {
    app.add_flag("-q,--quiet", c.quiet, "no progress line or notes on standard error");
    app.add_option("-j,--jobs", c.jobs,
                   "threads that compress, scramble or decode blocks (default: the cores available; 1: none)")
        ->check(CLI::Range(1, 256));
    app.add_flag("--wait", c.wait, "wait for an image that another process has in use");
    app.add_option("--max-block", c.maxBlock,
                   "largest block to read or import, in bytes (default 64M, at most 1G)")
        ->transform(CLI::AsSizeValue(false))
        ->check(CLI::Range(1ull, 1ull << 30));
}

// After a parse error: the first word that is no option (nor the value of
// one) names the command, which may be unknown.
int parseFailure(const CLI::App& app, const CLI::ParseError& e, int argc, char** argv) {
    std::set<std::string> takesValue;
    for (const CLI::Option* opt : app.get_options()) {
        if (opt->get_items_expected_min() == 0) continue;
        for (const std::string& n : opt->get_lnames()) takesValue.insert("--" + n);
        for (const std::string& n : opt->get_snames()) takesValue.insert("-" + n);
    }
    for (int i = 1; i < argc; ++i) {
        if (takesValue.count(argv[i])) {
            ++i;
            continue;
        }
        if (argv[i][0] == '-') continue;
        if (std::strcmp(argv[i], "help") != 0 && app.get_subcommands([&](const CLI::App* s) {
                                                        return s->get_name() == argv[i];
                                                    }).empty()) {
            std::fprintf(stderr, "orvtape: unknown command '%s'\nRun 'orvtape --help' for usage.\n", argv[i]);
            return kExitUsage;
        }
        break;
    }
    std::fprintf(stderr, "orvtape: %s\nRun 'orvtape --help' for usage.\n", e.what());
    return kExitUsage;
}

int showHelp(const CLI::App& app, const std::vector<Declared>& commands, const std::string& name) {
    if (name.empty()) {
        std::fputs(app.help().c_str(), stdout);
        return kExitOk;
    }
    for (const Declared& d : commands)
        if (name == d.command->name) {
            std::fputs(d.app->help("orvtape").c_str(), stdout);
            return kExitOk;
        }
    std::fprintf(stderr, "orvtape: help: no command '%s'\n", name.c_str());
    return kExitUsage;
}

// Runs the command; every failure becomes one line on standard error and
// the command's failure status.
int run(const Declared& d, const Common& common, StdoutGuard& out) {
    const int failed = d.command->failureStatus;
    try {
        int status = d.run(common);
        return out.finish() ? status : failed;
    } catch (const ToolError& e) {
        out.finish();
        std::fprintf(stderr, "orvtape: %s\n", e.what());
        return failed == kExitFailure ? e.status() : failed;
    } catch (const std::bad_alloc&) {
        out.finish();
        std::fprintf(stderr, "orvtape: %s: out of memory\n", d.command->name);
        return failed;
    } catch (const std::exception& e) {
        // Anything else the system refused: unwound, so no temporary file stays.
        out.finish();
        std::fprintf(stderr, "orvtape: %s: %s\n", d.command->name, e.what());
        return failed;
    }
}

}  // namespace

int runTool(int argc, char** argv, StdoutGuard& out) {
    CLI::App app{"orvtape - create, fill, list, check, extract, copy, convert and recover tape images"};
    app.name("orvtape");
    app.set_version_flag("--version", "orvtape " ORVTAPE_VERSION);
    Common common;
    declareCommon(app, common);
    app.require_subcommand(1);
    app.fallthrough();
    app.footer("Run 'orvtape help COMMAND' or 'orvtape COMMAND --help' for a command's options.");

    // Only a command named on the line gets its options: declaring those of
    // every command costs each run more than listing a small volume.  A
    // command is only ever parsed where its name stands.
    auto named = [&](const char* name) {
        for (int i = 1; i < argc; ++i)
            if (std::strcmp(argv[i], name) == 0) return true;
        return false;
    };
    std::vector<Declared> commands;
    for (const Command* c : kCommands) {
        CLI::App* sub = app.add_subcommand(c->name, c->summary);
        commands.push_back(Declared{c, sub, named(c->name) ? c->declare(*sub) : Runner{}});
    }
    std::string helpFor;
    CLI::App* help = app.add_subcommand("help", "show the help of the tool or of a command");
    help->add_option("COMMAND", helpFor, "a command");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        return parseFailure(app, e, argc, argv);
    }
    if (help->parsed()) return showHelp(app, commands, helpFor);
    if (common.jobs == 0) common.jobs = defaultJobs();
    for (const Declared& d : commands)
        if (d.app->parsed()) return run(d, common, out);
    return kExitUsage;
}

}  // namespace orvtool

int main(int argc, char** argv) {
    orvtool::reopenClosedStdStreams();
    orvtool::StdoutGuard out;
    int status = orvtool::runTool(argc, argv, out);
    return out.finish() || status != 0 ? status : orvtool::kExitFailure;
}
