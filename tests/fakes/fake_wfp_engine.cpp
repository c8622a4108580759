#include "fakes/fake_wfp_engine.h"

#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>

#include "fakes/call_recorder.h"
#include "platform/text_encoding.h"
#include "platform/wfp_filter_text.h"

namespace orvo_test {

using namespace orvo_vpn_win_svc::platform;
using orvo_vpn_win_svc::WideToUtf8;

namespace {

// Each object with the session that added it.
struct Objects {
  std::map<WfpKey, uint64_t> providers;
  std::map<WfpKey, uint64_t> sublayers;
  std::map<uint64_t, std::pair<WfpFilter, uint64_t>> filters;
};

}  // namespace

struct FakeWfpEngine::State {
  mutable std::mutex mutex;
  bool administrator = true;
  Objects committed;
  uint64_t next_filter_id = 65537;
  uint64_t next_session_id = 1;
  CallRecorder calls;

  // Runs `run` (under the lock; it returns the result code and, for a success, any text to add)
  // unless a fault says otherwise, and records the call.
  template <typename Run>
  uint32_t Call(const std::string& call, Run run) {
    std::string extra;
    uint32_t code = calls.Fault(call);
    if (code == 0) {
      std::lock_guard lock(mutex);
      code = run(extra);
    }
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", code);
    calls.Note(call + " -> " + (code == kWfpSuccess ? "ok" + extra : std::string(text)));
    return code;
  }
};

namespace {

std::string Quoted(const std::wstring& text) {
  return " \"" + WideToUtf8(text) + "\"";
}

class Session : public WfpSession {
 public:
  Session(std::shared_ptr<FakeWfpEngine::State> state, uint64_t id, bool dynamic)
      : state_(std::move(state)), id_(id), dynamic_(dynamic) {}

  // A dynamic session's objects go with it, whatever the call's recorded result.
  ~Session() override {
    if (dynamic_) {
      std::lock_guard lock(state_->mutex);
      const auto mine = [this](const auto& entry) { return entry.second == id_; };
      std::erase_if(state_->committed.filters,
                    [this](const auto& entry) { return entry.second.second == id_; });
      std::erase_if(state_->committed.sublayers, mine);
      std::erase_if(state_->committed.providers, mine);
    }
    state_->Call("CloseSession", [](std::string&) { return kWfpSuccess; });
  }

  uint32_t AddProvider(const WfpProvider& p) override {
    return Change("AddProvider " + DescribeWfpKey(p.key) + Quoted(p.name) + Quoted(p.description),
                  [&](Objects& o) { return Add(o.providers, p.key); });
  }
  uint32_t DeleteProvider(const WfpKey& key) override {
    return Change("DeleteProvider " + DescribeWfpKey(key),
                  [&](Objects& o) { return Erase(o.providers, key, kFwpErrorProviderNotFound); });
  }
  uint32_t AddSubLayer(const WfpSubLayer& s) override {
    return Change("AddSubLayer " + DescribeWfpKey(s.key) + Quoted(s.name) + Quoted(s.description) +
                      " provider=" + DescribeWfpKey(s.provider) +
                      " weight=" + std::to_string(s.weight),
                  [&](Objects& o) {
                    return o.providers.contains(s.provider) ? Add(o.sublayers, s.key)
                                                            : kFwpErrorProviderNotFound;
                  });
  }
  uint32_t DeleteSubLayer(const WfpKey& key) override {
    return Change("DeleteSubLayer " + DescribeWfpKey(key),
                  [&](Objects& o) { return Erase(o.sublayers, key, kFwpErrorSubLayerNotFound); });
  }
  WfpFilterAdd AddFilter(const WfpFilter& filter) override {
    uint64_t id = 0;
    const uint32_t code = Change(
        "AddFilter " + DescribeWfpFilter(filter),
        [&](Objects& o) {
          if (!o.sublayers.contains(filter.sublayer)) {
            return kFwpErrorSubLayerNotFound;
          }
          id = state_->next_filter_id++;
          o.filters[id] = {filter, id_};
          return kWfpSuccess;
        },
        &id);
    return {code, code == kWfpSuccess ? id : 0};
  }
  uint32_t DeleteFilter(uint64_t id) override {
    return Change("DeleteFilter " + std::to_string(id),
                  [&](Objects& o) { return Erase(o.filters, id, kFwpErrorFilterNotFound); });
  }
  uint32_t BeginTransaction() override {
    return state_->Call("BeginTransaction", [this](std::string&) {
      if (transaction_) {
        return kFwpErrorTransactionInProgress;
      }
      transaction_ = state_->committed;
      return kWfpSuccess;
    });
  }
  uint32_t CommitTransaction() override { return End("CommitTransaction", true); }
  uint32_t AbortTransaction() override { return End("AbortTransaction", false); }

 private:
  template <typename Map, typename Key>
  uint32_t Add(Map& map, const Key& key) {
    return map.emplace(key, id_).second ? kWfpSuccess : kFwpErrorAlreadyExists;
  }
  template <typename Map, typename Key>
  static uint32_t Erase(Map& map, const Key& key, uint32_t not_found) {
    return map.erase(key) == 1 ? kWfpSuccess : not_found;
  }

  // Applies a change to the open transaction's view, else to the committed state; a new
  // filter's id (`id`) joins the recorded result.
  template <typename Apply>
  uint32_t Change(const std::string& call, Apply apply, const uint64_t* id = nullptr) {
    return state_->Call(call, [&](std::string& extra) {
      if (!state_->administrator) {
        return kErrorAccessDenied;
      }
      const uint32_t code = apply(transaction_ ? *transaction_ : state_->committed);
      extra = id ? " id=" + std::to_string(*id) : "";
      return code;
    });
  }

  uint32_t End(const std::string& call, bool commit) {
    return state_->Call(call, [&](std::string&) {
      if (!transaction_) {
        return kFwpErrorNoTransactionInProgress;
      }
      if (commit) {
        state_->committed = std::move(*transaction_);
      }
      transaction_.reset();
      return kWfpSuccess;
    });
  }

  std::shared_ptr<FakeWfpEngine::State> state_;
  const uint64_t id_;
  const bool dynamic_;
  std::optional<Objects> transaction_;
};

}  // namespace

FakeWfpEngine::FakeWfpEngine(bool caller_is_administrator) : state_(std::make_shared<State>()) {
  state_->administrator = caller_is_administrator;
}

FakeWfpEngine::~FakeWfpEngine() = default;

void FakeWfpEngine::Fail(std::string fragment, uint32_t code, int occurrence) {
  state_->calls.Fail(std::move(fragment), code, occurrence == 0 ? 1 : occurrence, occurrence);
}

std::string FakeWfpEngine::Calls() const {
  return state_->calls.Text();
}

WfpSessionOpen FakeWfpEngine::OpenSession(const WfpSessionOptions& options) {
  uint64_t id = 0;
  const uint32_t code =
      state_->Call("OpenSession" + Quoted(options.name) + Quoted(options.description) +
                       (options.dynamic ? " dynamic" : "") +
                       " wait=" + std::to_string(options.transaction_wait_ms),
                   [&](std::string&) {
                     id = state_->next_session_id++;
                     return kWfpSuccess;
                   });
  return {code,
          code == kWfpSuccess ? std::make_unique<Session>(state_, id, options.dynamic) : nullptr};
}

WfpAppId FakeWfpEngine::GetAppIdFromFileName(const std::wstring& path) {
  WfpByteBlob blob;
  const uint32_t code = state_->Call("GetAppIdFromFileName " + WideToUtf8(path), [&](std::string&) {
    const std::string utf8 = WideToUtf8(path);
    std::error_code error;
    if (!std::filesystem::is_regular_file(std::u8string(utf8.begin(), utf8.end()), error)) {
      return kErrorFileNotFound;
    }
    for (const char16_t unit : std::u16string(path.begin(), path.end()) + u'\0') {
      blob.push_back(static_cast<uint8_t>(unit & 0xFF));
      blob.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return kWfpSuccess;
  });
  return {code, code == kWfpSuccess ? blob : WfpByteBlob{}};
}

std::string FakeWfpEngine::Filters() const {
  std::lock_guard lock(state_->mutex);
  std::string text;
  for (const auto& [id, entry] : state_->committed.filters) {
    text += DescribeWfpFilter(entry.first) + "\n";
  }
  return text;
}

}  // namespace orvo_test
