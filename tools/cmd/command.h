// command.h - what a command of the tool is: a name, a summary, and a
// function that declares its arguments and options and returns how to run
// it with them.  main() holds the one table of commands; a new command is
// one file that defines its Command, plus one row there.
#ifndef ORVTAPE_TOOL_CMD_COMMAND_H
#define ORVTAPE_TOOL_CMD_COMMAND_H

#include "base/common.h"
#include "base/error.h"

#include <functional>
#include <memory>
#include <string>

namespace CLI {
class App;
}

namespace orvtool {

// Runs the command with the arguments its declare() bound; an exit status.
using Runner = std::function<int(const Common&)>;

struct Command {
    const char* name;
    const char* summary;
    Runner (*declare)(CLI::App& app);
    int failureStatus = kExitFailure;  // the status of any failure (check: 2, a defect is 1)
};

// The Runner of a command whose arguments A extend Common: the common
// options are copied in before run sees them, so the command reads all of
// its settings from one struct.
template <class A>
Runner runWith(std::shared_ptr<A> args, int (*run)(const A&)) {
    return [args, run](const Common& c) {
        A all = *args;
        static_cast<Common&>(all) = c;
        return run(all);
    };
}

}  // namespace orvtool

#endif
