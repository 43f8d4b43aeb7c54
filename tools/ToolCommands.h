// The command line of qelevent-tool: `replay`, `check`, `diff` and `send`, their
// options, and the usage text. Kept apart from main() so that tests run it
// in-process.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace qel {
class Platform;
}  // namespace qel

namespace qel::tool {

// |arguments| without the program name, in UTF-8. |in| is read when replay is
// given no notifications file (or "-"). Returns the exit status: 0 done, 1 done
// with warnings or rejected lines, 2 usage or setup error. |errIsTerminal| says
// that |err| is shown on a terminal, where a long replay shows its progress.
// |server| is the platform of the Windows server the tool runs on: check and
// diff then default to its registered installation, send loads the plug-in
// through it, and replay, which simulates a server, is refused. Null on Linux.
int RunTool(const std::vector<std::string>& arguments, std::istream& in, std::ostream& out,
            std::ostream& err, bool errIsTerminal = false, Platform* server = nullptr);

}  // namespace qel::tool
