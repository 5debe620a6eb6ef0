// zevdir: reaches an LDAP directory through the zev9drld plug-in, the way a host of the
// toolkit does: connection information in, a directory manager from the plug-in's factory,
// certificates and revocation lists out.
#include <exception>
#include <iostream>
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#include "commands.h"
#include "options.h"
#include "output.h"
#include "zevglobal.h"

namespace {
// The toolkit is ready before any of zevdir's own objects and torn down after them.
zev09000003::ZEVCMSGlobal toolkit;
}  // namespace

int main(int argc, char** argv) {
  using namespace zevdir;
#if defined(_WIN32)
  // Lines end in "\n" as on every other system, so scripts that read zevdir's output get the
  // same bytes from both forms.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
#endif
  try {
    Options options = parseOptions(argc, argv);
    if (options.help) {
      std::cout << usageText();
      return kExitOK;
    }
    readPassword(options);
    return runCommand(options, std::cout, std::cerr);
  } catch (const UsageError& e) {
    std::cerr << "zevdir: " << e.what() << "\n"
              << "usage: zevdir [flags] COMMAND [ARGS]; zevdir --help lists them\n";
    return kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << errorLine(0, e.what()) << "\n";
    return kExitDirectory;
  }
}
