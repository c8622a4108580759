#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace orvo_test {

// Polls `condition` until it holds or `timeout` passes; true when it held. Tests wait for
// something this way rather than sleeping for a guessed time.
bool PollUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

}  // namespace orvo_test
