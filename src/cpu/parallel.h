// Moved: the pool now lives in common/ so the file readers can share it.
#pragma once
#include "common/parallel.h"
namespace fwprune::cpu {
using fwprune::ThreadPool;
}
