// The help texts: one for the program, one for each command.
#pragma once

#include <string>

namespace fwprune::cli {

std::string mainHelp();
std::string reduceHelp();
std::string weakestLinkHelp();

}  // namespace fwprune::cli
