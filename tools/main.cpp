// qelevent-tool: runs the plug-in's logic on Linux (see ToolCommands.h).
#include <iostream>
#include <string>
#include <vector>

#include "tools/ToolCommands.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return qel::tool::RunTool(arguments, std::cin, std::cout, std::cerr);
}
