// The console behind a standard handle of qelevent-tool, which a console
// shows in its own code page unless it is given UTF-16.
#pragma once

#include <functional>
#include <string>

namespace qel {

// Writes UTF-16 to the console that standard output (or standard error) shows
// on; empty when that handle leads to a file, a pipe or nothing, where bytes
// go out as they are.
std::function<void(const std::u16string& text)> ConsoleWriter(bool standardError);

}  // namespace qel
