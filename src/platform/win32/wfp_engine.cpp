#include "platform/wfp_engine.h"

#include <windows.h>

#include <fwpmu.h>
#include <rpc.h>

#include <string>

#include "platform/win32/wfp_constants.h"
#include "platform/win32/wfp_engine_session.h"

namespace orvo_vpn_win_svc::platform {
namespace {

class Win32WfpEngine : public WfpEngine {
 public:
  WfpSessionOpen OpenSession(const WfpSessionOptions& options) override {
    std::wstring name = options.name;
    std::wstring description = options.description;
    FWPM_SESSION0 session{};
    session.displayData.name = name.data();
    session.displayData.description = description.empty() ? nullptr : description.data();
    session.flags = options.dynamic ? win32_wfp::kSessionFlagDynamic : 0;
    session.txnWaitTimeoutInMSec = options.transaction_wait_ms;
    HANDLE engine = nullptr;
    const DWORD code = FwpmEngineOpen0(nullptr, static_cast<UINT32>(RPC_C_AUTHN_DEFAULT), nullptr,
                                       &session, &engine);
    if (code != ERROR_SUCCESS) {
      return {code, nullptr};
    }
    return {kWfpSuccess, std::make_unique<Win32WfpSession>(engine)};
  }

  WfpAppId GetAppIdFromFileName(const std::wstring& path) override {
    FWP_BYTE_BLOB* blob = nullptr;
    const DWORD code = FwpmGetAppIdFromFileName0(path.c_str(), &blob);
    if (code != ERROR_SUCCESS) {
      return {code, {}};
    }
    WfpAppId app_id{kWfpSuccess, WfpByteBlob(blob->data, blob->data + blob->size)};
    FwpmFreeMemory0(reinterpret_cast<void**>(&blob));
    return app_id;
  }
};

}  // namespace

std::shared_ptr<WfpEngine> SystemWfpEngine() {
  static const std::shared_ptr<WfpEngine> engine = std::make_shared<Win32WfpEngine>();
  return engine;
}

}  // namespace orvo_vpn_win_svc::platform
