// The handler std::terminate calls, in place of the C++ library's default.
//
// The library's default handler prints the type of the uncaught exception,
// demangled, to standard error before it aborts. Inside a host service there
// is no console to print to, and the demangler and the formatted output it
// needs would be about a quarter of this DLL. A terminate ends the host's
// process either way (the exports are noexcept, and no exception of ours
// reaches the host), so this handler only aborts, as the default one does
// after printing. Defining it here keeps the library's version, and all that
// it brings, out of the link.
#include <cstdlib>
#include <exception>

namespace __gnu_cxx {

void __verbose_terminate_handler() { std::abort(); }

}  // namespace __gnu_cxx
