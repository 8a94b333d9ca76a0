#include "common/cancel.h"

#include "common/error.h"

namespace fwprune {
namespace {

thread_local CancelScope* currentScope = nullptr;

// Between two questions in inner loops: short against a person pressing Ctrl-C, long against
// the time a callback may need to take an interpreter's lock.
constexpr std::chrono::milliseconds kPollInterval{20};

}  // namespace

CancelScope::CancelScope(std::function<bool()> requested)
    : requested_(std::move(requested)),
      outer_(currentScope),
      lastAsked_(std::chrono::steady_clock::now()) {
    currentScope = this;
}

CancelScope::~CancelScope() {
    currentScope = outer_;
}

void checkCancelled() {
    CancelScope* const scope = currentScope;
    if (scope == nullptr || !scope->requested_) return;
    scope->lastAsked_ = std::chrono::steady_clock::now();
    if (scope->requested_()) fail(Status::Cancelled, "cancelled by the caller");
}

void pollCancelled() {
    CancelScope* const scope = currentScope;
    if (scope == nullptr || !scope->requested_) return;
    if (std::chrono::steady_clock::now() - scope->lastAsked_ < kPollInterval) return;
    checkCancelled();
}

}  // namespace fwprune
