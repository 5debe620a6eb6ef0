// zevdir's commands: each loads the plug-in's directory manager for the connection given on
// the command line, runs one request and prints the outcome.
#ifndef TOOLS_ZEVDIR_COMMANDS_H
#define TOOLS_ZEVDIR_COMMANDS_H

#include <ostream>

#include "options.h"

namespace zevdir {

// Runs options.command. Returns the exit code (see ExitCode). Throws UsageError for bad
// arguments found while running (a malformed DN, an unreadable input file); reports directory
// failures itself, as one error line on err.
int runCommand(Options& options, std::ostream& out, std::ostream& err);

}  // namespace zevdir

#endif
