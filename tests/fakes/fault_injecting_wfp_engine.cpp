#include "fakes/fault_injecting_wfp_engine.h"

#include <cstdio>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/text_encoding.h"
#include "platform/wfp_filter_text.h"

namespace orvo_test {

using namespace orvo_vpn_win_svc::platform;
using orvo_vpn_win_svc::WideToUtf8;

namespace {

struct Fault {
  std::string fragment;
  uint32_t code = 0;
  int occurrence = 0;
  int seen = 0;
};

std::string CodeText(uint32_t code) {
  if (code == kWfpSuccess) {
    return "ok";
  }
  char buffer[16];
  std::snprintf(buffer, sizeof(buffer), "0x%08X", code);
  return buffer;
}

}  // namespace

struct FaultInjectingWfpEngine::Recorder {
  std::mutex mutex;
  std::vector<Fault> faults;
  std::string calls;
  std::function<void(const std::string&)> observer;

  // The injected result of the call `call`, if it is to fail.
  std::optional<uint32_t> Injected(const std::string& call) {
    std::lock_guard lock(mutex);
    for (Fault& fault : faults) {
      if (call.find(fault.fragment) == std::string::npos) {
        continue;
      }
      ++fault.seen;
      if (fault.occurrence == 0 || fault.seen == fault.occurrence) {
        return fault.code;
      }
    }
    return std::nullopt;
  }

  void Record(const std::string& call, const std::string& result) {
    const std::string line = call + " -> " + result;
    std::function<void(const std::string&)> notify;
    {
      std::lock_guard lock(mutex);
      calls += line + "\n";
      notify = observer;
    }
    if (notify) {
      notify(line);
    }
  }

  // Runs `call` on the other engine unless a fault says otherwise, and records it.
  template <typename Run>
  uint32_t Code(const std::string& call, Run run) {
    const std::optional<uint32_t> injected = Injected(call);
    const uint32_t code = injected ? *injected : run();
    Record(call, CodeText(code));
    return code;
  }
};

namespace {

class FaultInjectingSession : public WfpSession {
 public:
  FaultInjectingSession(std::unique_ptr<WfpSession> inner,
                        std::shared_ptr<FaultInjectingWfpEngine::Recorder> recorder)
      : inner_(std::move(inner)), recorder_(std::move(recorder)) {}

  ~FaultInjectingSession() override {
    inner_.reset();
    recorder_->Record("CloseSession", "ok");
  }

  FaultInjectingSession(const FaultInjectingSession&) = delete;
  FaultInjectingSession& operator=(const FaultInjectingSession&) = delete;

  uint32_t AddProvider(const WfpProvider& provider) override {
    return recorder_->Code("AddProvider " + DescribeWfpKey(provider.key) + " \"" +
                               WideToUtf8(provider.name) + "\" \"" +
                               WideToUtf8(provider.description) + "\"",
                           [&] { return inner_->AddProvider(provider); });
  }
  uint32_t DeleteProvider(const WfpKey& key) override {
    return recorder_->Code("DeleteProvider " + DescribeWfpKey(key),
                           [&] { return inner_->DeleteProvider(key); });
  }
  uint32_t AddSubLayer(const WfpSubLayer& sublayer) override {
    return recorder_->Code(
        "AddSubLayer " + DescribeWfpKey(sublayer.key) + " \"" + WideToUtf8(sublayer.name) +
            "\" \"" + WideToUtf8(sublayer.description) + "\" provider=" +
            DescribeWfpKey(sublayer.provider) + " weight=" + std::to_string(sublayer.weight),
        [&] { return inner_->AddSubLayer(sublayer); });
  }
  uint32_t DeleteSubLayer(const WfpKey& key) override {
    return recorder_->Code("DeleteSubLayer " + DescribeWfpKey(key),
                           [&] { return inner_->DeleteSubLayer(key); });
  }
  WfpFilterAdd AddFilter(const WfpFilter& filter) override {
    const std::string call = "AddFilter " + DescribeWfpFilter(filter);
    if (const std::optional<uint32_t> injected = recorder_->Injected(call)) {
      recorder_->Record(call, CodeText(*injected));
      return {*injected, 0};
    }
    const WfpFilterAdd result = inner_->AddFilter(filter);
    recorder_->Record(call, result.code == kWfpSuccess ? "ok id=" + std::to_string(result.id)
                                                       : CodeText(result.code));
    return result;
  }
  uint32_t DeleteFilter(uint64_t id) override {
    return recorder_->Code("DeleteFilter " + std::to_string(id),
                           [&] { return inner_->DeleteFilter(id); });
  }
  uint32_t BeginTransaction() override {
    return recorder_->Code("BeginTransaction", [&] { return inner_->BeginTransaction(); });
  }
  uint32_t CommitTransaction() override {
    return recorder_->Code("CommitTransaction", [&] { return inner_->CommitTransaction(); });
  }
  uint32_t AbortTransaction() override {
    return recorder_->Code("AbortTransaction", [&] { return inner_->AbortTransaction(); });
  }

 private:
  std::unique_ptr<WfpSession> inner_;
  std::shared_ptr<FaultInjectingWfpEngine::Recorder> recorder_;
};

}  // namespace

FaultInjectingWfpEngine::FaultInjectingWfpEngine(std::shared_ptr<WfpEngine> inner)
    : inner_(std::move(inner)), recorder_(std::make_shared<Recorder>()) {}

FaultInjectingWfpEngine::~FaultInjectingWfpEngine() = default;

void FaultInjectingWfpEngine::Fail(std::string fragment, uint32_t code, int occurrence) {
  std::lock_guard lock(recorder_->mutex);
  recorder_->faults.push_back({std::move(fragment), code, occurrence, 0});
}

void FaultInjectingWfpEngine::OnEachCall(std::function<void(const std::string& line)> observer) {
  std::lock_guard lock(recorder_->mutex);
  recorder_->observer = std::move(observer);
}

std::string FaultInjectingWfpEngine::Calls() const {
  std::lock_guard lock(recorder_->mutex);
  return recorder_->calls;
}

void FaultInjectingWfpEngine::ClearCalls() {
  std::lock_guard lock(recorder_->mutex);
  recorder_->calls.clear();
}

WfpSessionOpen FaultInjectingWfpEngine::OpenSession(const WfpSessionOptions& options) {
  const std::string call = "OpenSession \"" + WideToUtf8(options.name) + "\" \"" +
                           WideToUtf8(options.description) + "\"" +
                           (options.dynamic ? " dynamic" : "") +
                           " wait=" + std::to_string(options.transaction_wait_ms);
  if (const std::optional<uint32_t> injected = recorder_->Injected(call)) {
    recorder_->Record(call, CodeText(*injected));
    return {*injected, nullptr};
  }
  WfpSessionOpen opened = inner_->OpenSession(options);
  recorder_->Record(call, CodeText(opened.code));
  if (opened.code == kWfpSuccess) {
    opened.session = std::make_unique<FaultInjectingSession>(std::move(opened.session), recorder_);
  }
  return opened;
}

WfpAppId FaultInjectingWfpEngine::GetAppIdFromFileName(const std::wstring& path) {
  const std::string call = "GetAppIdFromFileName " + WideToUtf8(path);
  if (const std::optional<uint32_t> injected = recorder_->Injected(call)) {
    recorder_->Record(call, CodeText(*injected));
    return {*injected, {}};
  }
  WfpAppId app_id = inner_->GetAppIdFromFileName(path);
  recorder_->Record(call, CodeText(app_id.code));
  return app_id;
}

}  // namespace orvo_test
