// Waiting in tests for a condition instead of for a guessed time.
#pragma once

#include <chrono>
#include <functional>

namespace talvik::test {

// Polls `done` until it holds or `timeout` has passed, sleeping `every`
// between two polls; whether it holds. `done` may do work of its own (a loop
// pass, a tick) that brings the condition about.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds every = std::chrono::milliseconds(20));

} // namespace talvik::test
