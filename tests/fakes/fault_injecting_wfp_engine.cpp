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

struct FaultInjectingWfpEngine::Recorder {
  struct Fault {
    std::string fragment;
    uint32_t code;
    int occurrence;
    int seen;
  };
  std::mutex mutex;
  std::vector<Fault> faults;
  std::string calls;

  // Runs `run` (which returns the result code and, for a success, any text to add) unless a
  // fault says otherwise, and records the call.
  template <typename Run>
  uint32_t Call(const std::string& call, Run run) {
    std::optional<uint32_t> injected;
    {
      std::lock_guard lock(mutex);
      for (Fault& fault : faults) {
        if (call.find(fault.fragment) != std::string::npos &&
            (++fault.seen == fault.occurrence || fault.occurrence == 0) && !injected) {
          injected = fault.code;
        }
      }
    }
    std::string extra;
    const uint32_t code = injected ? *injected : run(extra);
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", code);
    std::lock_guard lock(mutex);
    calls += call + " -> " + (code == kWfpSuccess ? "ok" + extra : std::string(text)) + "\n";
    return code;
  }
};

namespace {

std::string Quoted(const std::wstring& text) { return " \"" + WideToUtf8(text) + "\""; }

class Session : public WfpSession {
 public:
  Session(std::unique_ptr<WfpSession> inner,
          std::shared_ptr<FaultInjectingWfpEngine::Recorder> recorder)
      : inner_(std::move(inner)), recorder_(std::move(recorder)) {}
  ~Session() override {
    inner_.reset();
    recorder_->Call("CloseSession", [](std::string&) { return kWfpSuccess; });
  }

  uint32_t AddProvider(const WfpProvider& p) override {
    return Pass("AddProvider " + DescribeWfpKey(p.key) + Quoted(p.name) + Quoted(p.description),
                [&] { return inner_->AddProvider(p); });
  }
  uint32_t DeleteProvider(const WfpKey& key) override {
    return Pass("DeleteProvider " + DescribeWfpKey(key), [&] { return inner_->DeleteProvider(key); });
  }
  uint32_t AddSubLayer(const WfpSubLayer& s) override {
    return Pass("AddSubLayer " + DescribeWfpKey(s.key) + Quoted(s.name) + Quoted(s.description) +
                    " provider=" + DescribeWfpKey(s.provider) + " weight=" +
                    std::to_string(s.weight),
                [&] { return inner_->AddSubLayer(s); });
  }
  uint32_t DeleteSubLayer(const WfpKey& key) override {
    return Pass("DeleteSubLayer " + DescribeWfpKey(key), [&] { return inner_->DeleteSubLayer(key); });
  }
  WfpFilterAdd AddFilter(const WfpFilter& filter) override {
    WfpFilterAdd added;
    added.code = recorder_->Call("AddFilter " + DescribeWfpFilter(filter), [&](std::string& extra) {
      added = inner_->AddFilter(filter);
      extra = " id=" + std::to_string(added.id);
      return added.code;
    });
    return {added.code, added.code == kWfpSuccess ? added.id : 0};
  }
  uint32_t DeleteFilter(uint64_t id) override {
    return Pass("DeleteFilter " + std::to_string(id), [&] { return inner_->DeleteFilter(id); });
  }
  uint32_t BeginTransaction() override {
    return Pass("BeginTransaction", [&] { return inner_->BeginTransaction(); });
  }
  uint32_t CommitTransaction() override {
    return Pass("CommitTransaction", [&] { return inner_->CommitTransaction(); });
  }
  uint32_t AbortTransaction() override {
    return Pass("AbortTransaction", [&] { return inner_->AbortTransaction(); });
  }

 private:
  template <typename Run>
  uint32_t Pass(const std::string& call, Run run) {
    return recorder_->Call(call, [&](std::string&) { return run(); });
  }

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

std::string FaultInjectingWfpEngine::Calls() const {
  std::lock_guard lock(recorder_->mutex);
  return recorder_->calls;
}

WfpSessionOpen FaultInjectingWfpEngine::OpenSession(const WfpSessionOptions& options) {
  WfpSessionOpen opened;
  opened.code = recorder_->Call(
      "OpenSession" + Quoted(options.name) + Quoted(options.description) +
          (options.dynamic ? " dynamic" : "") + " wait=" +
          std::to_string(options.transaction_wait_ms),
      [&](std::string&) {
        opened = inner_->OpenSession(options);
        return opened.code;
      });
  if (opened.code != kWfpSuccess) {
    return {opened.code, nullptr};
  }
  return {kWfpSuccess, std::make_unique<Session>(std::move(opened.session), recorder_)};
}

WfpAppId FaultInjectingWfpEngine::GetAppIdFromFileName(const std::wstring& path) {
  WfpAppId id;
  id.code = recorder_->Call("GetAppIdFromFileName " + WideToUtf8(path), [&](std::string&) {
    id = inner_->GetAppIdFromFileName(path);
    return id.code;
  });
  return id.code == kWfpSuccess ? id : WfpAppId{id.code, {}};
}

}  // namespace orvo_test
