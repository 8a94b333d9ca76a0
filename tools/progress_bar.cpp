#include "progress_bar.h"

#include <cstdlib>
#include <cstring>

namespace fwprune::cli {

std::atomic<bool> barOnScreen{false};

bool progressWanted(bool quiet) {
    if (quiet || ::isatty(STDERR_FILENO) == 0) return false;
    const char* const term = std::getenv("TERM");
    return term == nullptr || std::strcmp(term, "dumb") != 0;  // a dumb terminal lacks ESC [K
}

}  // namespace fwprune::cli
