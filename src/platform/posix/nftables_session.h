#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/wfp_engine.h"

struct nft_ctx;

namespace orvo_vpn_win_svc::platform {

// One session of NftablesWfpEngine; see there.
class NftablesSession : public WfpSession {
 public:
  // Opens the context and checks that the kernel has nf_tables; a caller without
  // CAP_NET_ADMIN still gets a session, whose changes are then refused as ERROR_ACCESS_DENIED.
  static WfpSessionOpen Open();
  ~NftablesSession() override;
  NftablesSession(const NftablesSession&) = delete;
  NftablesSession& operator=(const NftablesSession&) = delete;

  uint32_t AddProvider(const WfpProvider& provider) override;
  uint32_t DeleteProvider(const WfpKey& key) override;
  uint32_t AddSubLayer(const WfpSubLayer& sublayer) override;
  uint32_t DeleteSubLayer(const WfpKey& key) override;
  WfpFilterAdd AddFilter(const WfpFilter& filter) override;
  uint32_t DeleteFilter(uint64_t id) override;
  uint32_t BeginTransaction() override;
  uint32_t CommitTransaction() override;
  uint32_t AbortTransaction() override;

  struct Objects {
    std::map<WfpKey, WfpProvider> providers;
    std::map<WfpKey, WfpSubLayer> sublayers;
    std::map<uint64_t, WfpFilter> filters;
  };

 private:
  explicit NftablesSession(nft_ctx* context);
  Objects& Writable() { return pending_ ? *pending_ : committed_; }
  // Outside a transaction a change reaches the kernel at once; false from `change` leaves
  // everything as it was.
  uint32_t Change(const std::function<uint32_t(Objects&)>& change);
  // Brings the kernel from `from` to `to` in one batch.
  uint32_t Apply(const Objects& from, const Objects& to);
  uint32_t Run(const std::string& commands);

  nft_ctx* context_;
  Objects committed_;               // what the kernel holds
  std::optional<Objects> pending_;  // the open transaction's view
  uint64_t next_filter_id_ = 1;
};

}  // namespace orvo_vpn_win_svc::platform
