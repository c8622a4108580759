#include "platform/posix/nftables_session.h"

#include <nftables/libnftables.h>
#include <sys/socket.h>

#include <linux/netlink.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <vector>

#include "platform/posix/file_descriptor.h"
#include "platform/posix/nftables_rule_text.h"
#include "platform/wfp_filter_order.h"

namespace orvo_vpn_win_svc::platform {
namespace {

constexpr char kTable[] = "inet orvo_vpn";
constexpr uint32_t kErrorGenFailure = 31;      // ERROR_GEN_FAILURE
constexpr uint32_t kErrorNotSupported = 50;    // ERROR_NOT_SUPPORTED
constexpr uint32_t kErrorNotEnoughMemory = 8;  // ERROR_NOT_ENOUGH_MEMORY
constexpr int kCapNetAdmin = 12;

bool HasNetAdmin() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) == 0) {
      return ((std::stoull(line.substr(7), nullptr, 16) >> kCapNetAdmin) & 1u) != 0;
    }
  }
  return false;
}

// libnftables reports failures as text that carries the kernel's strerror; the codes are the
// system's nearest ones.
uint32_t CodeFromErrorText(const std::string& text) {
  const auto has = [&](const char* fragment) { return text.find(fragment) != std::string::npos; };
  if (has("Operation not permitted")) {
    // With CAP_NET_ADMIN the refusal can only mean that another process owns the table.
    return HasNetAdmin() ? kFwpErrorInUse : kErrorAccessDenied;
  }
  if (has("not supported")) {
    return kErrorNotSupported;
  }
  if (has("No such file or directory")) {
    return kErrorFileNotFound;
  }
  if (has("Cannot allocate memory") || has("No buffer space")) {
    return kErrorNotEnoughMemory;
  }
  if (has("Device or resource busy")) {
    return kFwpErrorInUse;
  }
  return kErrorGenFailure;
}

std::string ChainName(const WfpKey& key) {
  char text[48];
  std::snprintf(text, sizeof(text), "sublayer_%08x%04x%04x", key.data1, key.data2, key.data3);
  std::string name = text;
  for (const uint8_t byte : key.data4) {
    std::snprintf(text, sizeof(text), "%02x", byte);
    name += text;
  }
  return name;
}

std::string AddRule(const std::string& chain, const std::string& body) {
  return std::string("add rule ") + kTable + " " + chain + " " + body + "\n";
}

bool HasTable(const NftablesSession::Objects& objects) {
  return !objects.providers.empty() || !objects.sublayers.empty();
}

std::vector<uint64_t> FilterIdsOf(const NftablesSession::Objects& objects, const WfpKey& sublayer) {
  std::vector<uint64_t> ids;
  for (const auto& [id, filter] : objects.filters) {
    if (filter.sublayer == sublayer) {
      ids.push_back(id);
    }
  }
  return ids;
}

struct Hook {
  NftablesHook hook;
  const char* name;      // in nftables' syntax
  const char* suffix;    // of the sublayer's chain on this hook
  const char* ahead[2];  // rules ahead of the filters; null: none
};

// Each hook a sublayer has a chain on. Postrouting lets pass what the output path judged and
// nothing moved since: neither a destination NAT nor a mark that policy routing may have acted
// on. What was moved is judged again where it leaves, without the application permits, which
// postrouting cannot ask, so a permitted program's moved connection must go where the other
// permits allow.
constexpr Hook kHooks[] = {
    {NftablesHook::kOutput, "output", "", {"ct direction reply accept", nullptr}},
    {NftablesHook::kForward, "forward", "_forward", {"ct direction reply accept", nullptr}},
    {NftablesHook::kPostrouting,
     "postrouting",
     "_postrouting",
     {"ct direction reply accept", "ct status ! dnat meta mark 0 accept"}},
};

// The chain's rules: connections others opened first, then the filters in the order the
// engine offers a connection to them; among equals a block comes before a permit, so a rule
// set that depends on an order the system does not promise fails closed.
std::string ChainRules(const NftablesSession::Objects& objects, const WfpKey& sublayer,
                       const Hook& hook) {
  const std::string chain = ChainName(sublayer) + hook.suffix;
  std::vector<uint64_t> ids = FilterIdsOf(objects, sublayer);
  std::stable_sort(ids.begin(), ids.end(), [&](uint64_t a, uint64_t b) {
    const WfpFilter& first = objects.filters.at(a);
    const WfpFilter& second = objects.filters.at(b);
    const std::weak_ordering order = CompareWfpFilterPrecedence(first, second);
    if (order != 0) {
      return order < 0;
    }
    return first.action == WfpAction::kBlock && second.action == WfpAction::kPermit;
  });
  std::string text;
  for (const char* rule : hook.ahead) {
    if (rule != nullptr) {
      text += AddRule(chain, rule);
    }
  }
  for (const uint64_t id : ids) {
    for (const std::string& rule : RenderNftablesRules(objects.filters.at(id), hook.hook).rules) {
      text += AddRule(chain, rule);
    }
  }
  return text;
}

}  // namespace

WfpSessionOpen NftablesSession::Open() {
  // libnftables ends the process when it cannot open its netlink socket; ask first.
  const FileDescriptor probe(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER));
  if (!probe.Valid()) {
    return {kErrorNotSupported, nullptr};
  }
  nft_ctx* context = nft_ctx_new(NFT_CTX_DEFAULT);
  if (context == nullptr) {
    return {kErrorNotEnoughMemory, nullptr};
  }
  std::unique_ptr<NftablesSession> session(new NftablesSession(context));
  // A read tells whether the kernel has nf_tables; only the lack of rights is no obstacle here.
  const uint32_t code = session->Run("list table " + std::string(kTable) + "\n");
  if (code != kWfpSuccess && code != kErrorFileNotFound && code != kErrorAccessDenied) {
    return {code, nullptr};
  }
  return {kWfpSuccess, std::move(session)};
}

NftablesSession::NftablesSession(nft_ctx* context) : context_(context) {
  nft_ctx_buffer_output(context_);
  nft_ctx_buffer_error(context_);
}

// Closing the context closes its netlink socket, and the kernel drops the owned table.
NftablesSession::~NftablesSession() {
  nft_ctx_free(context_);
}

uint32_t NftablesSession::Run(const std::string& commands) {
  if (nft_run_cmd_from_buffer(context_, commands.c_str()) == 0) {
    return kWfpSuccess;
  }
  return CodeFromErrorText(nft_ctx_get_error_buffer(context_));
}

uint32_t NftablesSession::Change(const std::function<uint32_t(Objects&)>& change) {
  if (pending_) {
    return change(*pending_);
  }
  Objects next = committed_;
  if (const uint32_t code = change(next); code != kWfpSuccess) {
    return code;
  }
  if (const uint32_t code = Apply(committed_, next); code != kWfpSuccess) {
    return code;
  }
  committed_ = std::move(next);
  return kWfpSuccess;
}

uint32_t NftablesSession::Apply(const Objects& from, const Objects& to) {
  std::string batch;
  if (!HasTable(from) && HasTable(to)) {
    batch += std::string("add table ") + kTable + " { flags owner; }\n";
  }
  for (const auto& [key, sublayer] : to.sublayers) {
    for (const Hook& hook : kHooks) {
      const std::string chain = std::string(kTable) + " " + ChainName(key) + hook.suffix;
      if (!from.sublayers.contains(key)) {
        batch += "add chain " + chain + " { type filter hook " + hook.name +
                 " priority filter; policy accept; }\n";
        batch += ChainRules(to, key, hook);
      } else if (FilterIdsOf(from, key) != FilterIdsOf(to, key)) {
        // Old and new rules change places in one transaction: there is no moment without either.
        batch += "flush chain " + chain + "\n";
        batch += ChainRules(to, key, hook);
      }
    }
  }
  for (const auto& [key, sublayer] : from.sublayers) {
    if (!to.sublayers.contains(key)) {
      for (const Hook& hook : kHooks) {
        const std::string chain = std::string(kTable) + " " + ChainName(key) + hook.suffix;
        batch += "flush chain " + chain + "\n";
        batch += "delete chain " + chain + "\n";
      }
    }
  }
  if (HasTable(from) && !HasTable(to)) {
    batch = std::string("delete table ") + kTable + "\n";
  }
  return batch.empty() ? kWfpSuccess : Run(batch);
}

uint32_t NftablesSession::AddProvider(const WfpProvider& provider) {
  return Change([&](Objects& objects) {
    if (provider.name.empty()) {
      return kFwpErrorNullDisplayName;
    }
    if (objects.providers.contains(provider.key)) {
      return kFwpErrorAlreadyExists;
    }
    objects.providers[provider.key] = provider;
    return kWfpSuccess;
  });
}

uint32_t NftablesSession::DeleteProvider(const WfpKey& key) {
  return Change([&](Objects& objects) {
    if (!objects.providers.contains(key)) {
      return kFwpErrorProviderNotFound;
    }
    for (const auto& [sublayer_key, sublayer] : objects.sublayers) {
      if (sublayer.provider == key) {
        return kFwpErrorInUse;
      }
    }
    objects.providers.erase(key);
    return kWfpSuccess;
  });
}

uint32_t NftablesSession::AddSubLayer(const WfpSubLayer& sublayer) {
  return Change([&](Objects& objects) {
    if (sublayer.name.empty()) {
      return kFwpErrorNullDisplayName;
    }
    if (objects.sublayers.contains(sublayer.key)) {
      return kFwpErrorAlreadyExists;
    }
    if (sublayer.provider != WfpKey{} && !objects.providers.contains(sublayer.provider)) {
      return kFwpErrorProviderNotFound;
    }
    objects.sublayers[sublayer.key] = sublayer;
    return kWfpSuccess;
  });
}

uint32_t NftablesSession::DeleteSubLayer(const WfpKey& key) {
  return Change([&](Objects& objects) {
    if (!objects.sublayers.contains(key)) {
      return kFwpErrorSubLayerNotFound;
    }
    if (!FilterIdsOf(objects, key).empty()) {
      return kFwpErrorInUse;
    }
    objects.sublayers.erase(key);
    return kWfpSuccess;
  });
}

WfpFilterAdd NftablesSession::AddFilter(const WfpFilter& filter) {
  if (filter.name.empty()) {
    return {kFwpErrorNullDisplayName, 0};
  }
  if (filter.weight > kWfpMaxFilterWeight) {
    return {kFwpErrorInvalidWeight, 0};
  }
  if (!Writable().sublayers.contains(filter.sublayer)) {
    return {kFwpErrorSubLayerNotFound, 0};
  }
  const NftablesRules rules = RenderNftablesRules(filter);
  if (rules.code != kWfpSuccess) {
    return {rules.code, 0};
  }
  // What the kernel would refuse (a group that no longer exists, a match this kernel lacks) is
  // refused now, for this filter alone, and never fails a whole transaction at its commit.
  if (committed_.sublayers.contains(filter.sublayer) && !rules.rules.empty()) {
    std::string check;
    for (const std::string& rule : rules.rules) {
      check += AddRule(ChainName(filter.sublayer), rule);
    }
    nft_ctx_set_dry_run(context_, true);
    const uint32_t code = Run(check);
    nft_ctx_set_dry_run(context_, false);
    if (code != kWfpSuccess) {
      return {code, 0};
    }
  }
  const uint64_t id = next_filter_id_;
  const uint32_t code = Change([&](Objects& objects) {
    objects.filters[id] = filter;
    return kWfpSuccess;
  });
  if (code != kWfpSuccess) {
    return {code, 0};
  }
  ++next_filter_id_;
  return {kWfpSuccess, id};
}

uint32_t NftablesSession::DeleteFilter(uint64_t id) {
  return Change([&](Objects& objects) {
    return objects.filters.erase(id) == 1 ? kWfpSuccess : kFwpErrorFilterNotFound;
  });
}

uint32_t NftablesSession::BeginTransaction() {
  if (pending_) {
    return kFwpErrorTransactionInProgress;
  }
  pending_ = committed_;
  return kWfpSuccess;
}

// The whole transaction is one batch: the kernel takes all of it or none.
uint32_t NftablesSession::CommitTransaction() {
  if (!pending_) {
    return kFwpErrorNoTransactionInProgress;
  }
  Objects next = std::move(*pending_);
  pending_.reset();
  if (const uint32_t code = Apply(committed_, next); code != kWfpSuccess) {
    return code;
  }
  committed_ = std::move(next);
  return kWfpSuccess;
}

uint32_t NftablesSession::AbortTransaction() {
  if (!pending_) {
    return kFwpErrorNoTransactionInProgress;
  }
  pending_.reset();
  return kWfpSuccess;
}

}  // namespace orvo_vpn_win_svc::platform
