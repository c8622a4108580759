#pragma once

#include <string>
#include <vector>

namespace orvo_test {

// What this test process holds at one moment, to prove an operation leaks nothing.
struct ProcessResources {
  int handles = 0;  // open descriptors (Linux) or handles (Windows)
  int threads = 0;
  int children = 0;  // live or unreaped child processes

  bool operator==(const ProcessResources&) const = default;
  std::string Text() const;
};

ProcessResources CountProcessResources();

// The same counts for another process of this machine, read from /proc on Linux (-1 each
// elsewhere), to watch a service the test started.
ProcessResources CountProcessResourcesOf(int pid);
// The ids of `pid`'s child processes, zombies included (Linux; empty elsewhere).
std::vector<int> ChildProcessIds(int pid);

// Polls until the counts are back to `before` (a thread or child may take a moment to end);
// returns the last counts seen.
ProcessResources SettledResources(const ProcessResources& before);
// The same for another process (Linux).
ProcessResources SettledResourcesOf(int pid, const ProcessResources& before);

}  // namespace orvo_test
