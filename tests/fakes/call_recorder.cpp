#include "fakes/call_recorder.h"

#include <utility>

namespace orvo_test {

void CallRecorder::Fail(std::string fragment, uint32_t code, int first, int last) {
  std::lock_guard lock(mutex_);
  rules_.push_back({std::move(fragment), code, first, last, 0});
}

uint32_t CallRecorder::Fault(const std::string& key) {
  std::lock_guard lock(mutex_);
  uint32_t code = 0;
  for (Rule& rule : rules_) {
    const bool matches = key.find(rule.fragment) != std::string::npos;
    rule.seen += matches ? 1 : 0;
    if (matches && code == 0 && rule.seen >= rule.first &&
        (rule.last == 0 || rule.seen <= rule.last)) {
      code = rule.code;
    }
  }
  return code;
}

void CallRecorder::Note(const std::string& line) {
  std::lock_guard lock(mutex_);
  lines_ += line + "\n";
}

std::string CallRecorder::Text() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::string CallRecorder::Take() {
  std::lock_guard lock(mutex_);
  return std::exchange(lines_, std::string());
}

}  // namespace orvo_test
