// qelevent-tool: on Linux, runs the plug-in's logic; on the Windows server,
// checks the installation's files and sends test events through the
// installed plug-in (see ToolCommands.h).
#include <iostream>
#include <string>
#include <vector>

#include "tools/ToolCommands.h"

#ifdef _WIN32
#include <io.h>

#include "config/TextConversions.h"
#include "platform/win32/Console.h"
#include "platform/win32/Win32Platform.h"
#include "tools/ConsoleText.h"

// The wide command line, so that file names in any script reach the tool;
// the commands take UTF-8, and write it. A console is given UTF-16 instead,
// so that names read right in a command prompt; a file or a pipe gets UTF-8.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    arguments.push_back(qel::WideToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
  }
  const auto outConsole = qel::ConsoleWriter(false);
  const auto errConsole = qel::ConsoleWriter(true);
  qel::tool::ConsoleTextBuffer outBuffer(outConsole);
  qel::tool::ConsoleTextBuffer errBuffer(errConsole);
  std::ostream outText(&outBuffer);
  std::ostream errText(&errBuffer);
  errText.setf(std::ios::unitbuf);  // as std::cerr: nothing waits in a buffer
  return qel::tool::RunTool(arguments, std::cin, outConsole ? outText : std::cout,
                            errConsole ? errText : std::cerr, _isatty(_fileno(stderr)) != 0,
                            &qel::Win32Platform::Instance());
}
#else
#include <unistd.h>

int main(int argc, char** argv) {
  // Replay reads and writes millions of lines: the standard streams keep
  // buffers of their own, and reading does not flush the output each time.
  std::ios::sync_with_stdio(false);
  std::cin.tie(nullptr);
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return qel::tool::RunTool(arguments, std::cin, std::cout, std::cerr, isatty(STDERR_FILENO) == 1);
}
#endif
