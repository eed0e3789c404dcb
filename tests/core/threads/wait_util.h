// Bounded waiting for the threads tests: a broken layer must fail a test, not
// hang it.
#pragma once

#include <chrono>
#include <thread>

namespace vextest {

// Generous: only a broken implementation ever gets near it.
inline constexpr std::chrono::seconds patience{10};

// Polls pred until it holds or `limit` passes; true when it held.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = patience)
{
    auto until = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// For "must not happen" checks: gives a broken implementation a chance to
// show itself. A correct one never makes pred true, so this cannot flake.
template <class Pred>
bool stays_false(Pred pred, std::chrono::milliseconds grace = std::chrono::milliseconds(150))
{
    return !eventually(pred, grace);
}

}  // namespace vextest
