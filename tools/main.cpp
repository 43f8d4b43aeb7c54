// qelevent-tool: runs the plug-in's logic on Linux (see ToolCommands.h).
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "tools/ToolCommands.h"

int main(int argc, char** argv) {
  // Replay reads and writes millions of lines: the standard streams keep
  // buffers of their own, and reading does not flush the output each time.
  std::ios::sync_with_stdio(false);
  std::cin.tie(nullptr);
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return qel::tool::RunTool(arguments, std::cin, std::cout, std::cerr, isatty(STDERR_FILENO) == 1);
}
