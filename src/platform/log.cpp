#include "platform/log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/debug_output.h"
#include "platform/log_capture.h"
#include "platform/text_encoding.h"

namespace orvo_vpn_win_svc {
namespace {

struct CaptureState {
  std::mutex owner;  // held for the whole life of one LogCapture
  std::mutex lines;  // guards the fields below
  bool active = false;
  std::string standard_error;
  std::wstring debugger;
};

// Never destroyed: objects destroyed at process exit (the process-wide managers) still report
// their clean-up through it, whatever the order of static destruction.
CaptureState& Capture() {
  static CaptureState* const state = new CaptureState;
  return *state;
}

ORVO_PRINTF_FORMAT(1, 0) std::string Format(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length <= 0) {
    return {};
  }
  std::vector<char> buffer(static_cast<size_t>(length) + 1);
  std::vsnprintf(buffer.data(), buffer.size(), format, args);
  return std::string(buffer.data(), static_cast<size_t>(length));
}

}  // namespace

void LogLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = Format(format, args);
  va_end(args);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
  CaptureState& capture = Capture();
  std::lock_guard lock(capture.lines);
  if (capture.active) {
    capture.standard_error += text;
  }
}

void DebugLine(std::wstring_view text) {
  platform::WriteDebuggerOutput(text);
  CaptureState& capture = Capture();
  std::lock_guard lock(capture.lines);
  if (capture.active) {
    capture.debugger.append(text);
  }
}

void DebugLineNarrow(std::string_view text) {
  platform::WriteDebuggerOutputNarrow(text);
  CaptureState& capture = Capture();
  std::lock_guard lock(capture.lines);
  if (capture.active) {
    capture.debugger += WidenBytes(text);
  }
}

void DebugLineFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = Format(format, args);
  va_end(args);
  DebugLine(WidenBytes(text));
}

LogCapture::LogCapture() {
  Capture().owner.lock();
  std::lock_guard lock(Capture().lines);
  Capture().active = true;
  Capture().standard_error.clear();
  Capture().debugger.clear();
}

LogCapture::~LogCapture() {
  {
    std::lock_guard lock(Capture().lines);
    Capture().active = false;
    Capture().standard_error.clear();
    Capture().debugger.clear();
  }
  Capture().owner.unlock();
}

std::string LogCapture::StandardError() const {
  std::lock_guard lock(Capture().lines);
  return Capture().standard_error;
}

std::wstring LogCapture::Debugger() const {
  std::lock_guard lock(Capture().lines);
  return Capture().debugger;
}

void LogCapture::Clear() {
  std::lock_guard lock(Capture().lines);
  Capture().standard_error.clear();
  Capture().debugger.clear();
}

}  // namespace orvo_vpn_win_svc
