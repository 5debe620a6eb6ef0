// One overall deadline per zevdir command (--timeout). A watchdog thread ends the process
// when it passes, whatever the LDAP library is doing: some libraries have no bound of their
// own on a bind to a server that accepts and never answers.
#ifndef TOOLS_ZEVDIR_DEADLINE_H
#define TOOLS_ZEVDIR_DEADLINE_H

#include <string>

namespace zevdir {

// Exit code and line of a command that ran out of time.
const int kExitTimedOut = 3;

class Deadline {
 public:
  // Starts the watchdog: when seconds have passed, it writes "zevdir: timed out after S s
  // while <phase>" to stderr and ends the process with kExitTimedOut. One at a time.
  explicit Deadline(int seconds);
  // Stops the watchdog.
  ~Deadline();
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  // Says what the command is doing now, for the line written when time runs out.
  static void phase(const std::string& what);
  // Whole seconds left, at least 1; a day when no deadline runs.
  static int remaining();
};

}  // namespace zevdir

#endif
