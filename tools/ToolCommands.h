// The command line of qelevent-tool: `replay`, `check` and `diff`, their options, and
// the usage text. Kept apart from main() so that tests run it in-process.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace qel::tool {

// |arguments| without the program name. |in| is read when replay is given no
// notifications file (or "-"). Returns the exit status: 0 done, 1 done with
// warnings or rejected lines, 2 usage or setup error. |errIsTerminal| says
// that |err| is shown on a terminal, where a long replay shows its progress.
int RunTool(const std::vector<std::string>& arguments, std::istream& in, std::ostream& out,
            std::ostream& err, bool errIsTerminal = false);

}  // namespace qel::tool
