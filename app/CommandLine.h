#pragma once

#include <string>
#include <vector>

namespace app {

// The image path named on the command line. The arguments are those after the
// program name, already split by the shell. An argument that begins with "-"
// is an option and never the image; so is "/" followed by one of the original
// framework's option names ("/p", "/pt", "/dde", ...). Any other argument
// beginning with "/" is an absolute path. The first argument that is no option
// is the image and every later one is ignored. Empty when none qualifies.
std::string imagePathFromArguments(const std::vector<std::string>& arguments);

// The same rule over main()'s arguments; argv[0] is the program and is skipped.
std::string imagePathFromArguments(int argc, const char* const* argv);

}  // namespace app
