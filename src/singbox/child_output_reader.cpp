#include "singbox/child_output_reader.h"

#include <algorithm>

#include "singbox/readiness_scanner.h"

namespace orvo_vpn_win_svc {
namespace {

// The pipe is read into a 4096-byte buffer that keeps room for a terminating zero.
constexpr size_t kMaxChunk = 4095;

}  // namespace

ChildOutputReader::~ChildOutputReader() {
  RequestStop();
  Join();
}

bool ChildOutputReader::Start(std::shared_ptr<platform::ChildProcess> child, Behaviour behaviour) {
  Join();
  stop_.exchange(false);
  started_.exchange(false);
  return start_thread_([this, child = std::move(child),
                        behaviour = std::move(behaviour)] { Loop(child, behaviour); },
                       thread_);
}

void ChildOutputReader::Join() {
  if (thread_.joinable()) {
    thread_.join();
  }
}

bool ChildOutputReader::ReadChunk(platform::ChildProcess& child, const Behaviour& behaviour,
                                  ReadinessScanner& scanner) {
  const std::optional<size_t> waiting = child.OutputWaiting();
  if (!waiting || *waiting == 0) {
    return false;
  }
  std::string chunk = child.ReadOutput(std::min(*waiting, kMaxChunk));
  if (chunk.empty()) {
    return false;
  }
  // The chunk is handled as the zero-terminated text it becomes in the read buffer: a zero byte
  // in the output ends what is passed on and searched.
  chunk.resize(std::min(chunk.find('\0'), chunk.size()));
  if (behaviour.on_output) {
    behaviour.on_output(chunk);
  }
  if (scanner.Feed(chunk) && !started_.load()) {
    // The report comes first: a waiter that sees the flag logs its own line next, and that line
    // must follow the report. Only this thread raises the flag, so the report is made once.
    if (behaviour.on_ready) {
      behaviour.on_ready();
    }
    started_.exchange(true);
  }
  return true;
}

void ChildOutputReader::Loop(const std::shared_ptr<platform::ChildProcess>& child,
                             const Behaviour& behaviour) {
  ReadinessScanner scanner;
  std::optional<uint32_t> ended_with;
  while (!stop_.load()) {
    if (behaviour.end_when_child_ends) {
      const std::optional<uint32_t> code = child->ExitCode();
      if (code && *code != platform::kStillActive) {
        // What the child wrote just before it ended is still in the pipe; pass it on first.
        while (ReadChunk(*child, behaviour, scanner)) {
        }
        if (behaviour.on_child_ended) {
          behaviour.on_child_ended();
        }
        ended_with = code;
        break;
      }
    }
    ReadChunk(*child, behaviour, scanner);
    sleeper_.Sleep(behaviour.poll_interval);
  }
  if (ended_with && !stop_.load() && behaviour.on_ended_by_itself) {
    behaviour.on_ended_by_itself(*ended_with);
  }
}

}  // namespace orvo_vpn_win_svc
