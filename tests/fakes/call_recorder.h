#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace orvo_test {

// What a fake was asked, as text one line a call, and the failures a test injects into those
// calls. Thread-safe: the service calls its facilities from several threads.
class CallRecorder {
 public:
  // Calls whose key contains `fragment` fail with `code`: the `first`-th to the `last`-th such
  // call (counting from 1), or every one from the `first`-th when `last` is 0.
  void Fail(std::string fragment, uint32_t code, int first = 1, int last = 0);
  // The code injected into a call with this key (the first fault that applies), or 0. The call
  // counts for every fault whose fragment it contains.
  uint32_t Fault(const std::string& key);

  void Note(const std::string& line);
  std::string Text() const;
  // The lines so far, forgotten.
  std::string Take();

 private:
  struct Rule {
    std::string fragment;
    uint32_t code;
    int first;
    int last;
    int seen;
  };
  mutable std::mutex mutex_;
  std::vector<Rule> rules_;
  std::string lines_;
};

}  // namespace orvo_test
