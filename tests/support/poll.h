#pragma once

#include <chrono>
#include <functional>

namespace orvo_test {

// Polls `condition` until it holds or `timeout` passes; true when it held. Tests wait for
// something this way rather than sleeping for a guessed time.
bool PollUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// Polls `read` until it returns `wanted` or `timeout` passes; the last value read, for the
// test's comparison to show.
template <typename Read, typename Value>
Value PollFor(const Read& read, const Value& wanted,
              std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  Value last;
  PollUntil([&] { return (last = read()) == wanted; }, timeout);
  return last;
}

}  // namespace orvo_test
