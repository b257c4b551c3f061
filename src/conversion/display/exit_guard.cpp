#include "exit_guard.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

std::vector<ExitGuard*>& liveGuards() {
    static std::vector<ExitGuard*> guards;
    return guards;
}

}  // namespace

// Registered at the first guard rather than at start, so it runs before the destructors of
// anything the toolkit made static by then: those may no longer work without a display.
ExitGuard::ExitGuard(std::function<void()> onExit) : onExit_(std::move(onExit)) {
    // The list is made first, so that it is destroyed only after the handler has run.
    static const bool registered = (liveGuards(), std::atexit([] {
        std::vector<ExitGuard*>& guards = liveGuards();
        while (!guards.empty()) {
            ExitGuard* newest = guards.back();
            guards.pop_back();
            newest->onExit_();
        }
    }) == 0);
    if (registered) liveGuards().push_back(this);
}

ExitGuard::~ExitGuard() {
    std::vector<ExitGuard*>& guards = liveGuards();
    guards.erase(std::remove(guards.begin(), guards.end(), this), guards.end());
}
