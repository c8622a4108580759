// The attempt loop of a Hysteria2 connect: start sing-box, wait for its readiness line, and
// check that its TUN interface is up.
#include <chrono>
#include <string>
#include <vector>

#include "platform/log.h"
#include "runtime/runtime.h"
#include "singbox/cleanup_wintun_adapters.h"

namespace orvo_vpn_win_svc {
namespace {

using std::chrono::milliseconds;

constexpr int kConnectionAttempts = 3;
constexpr int kStartAttempts = 3;
constexpr int kTunChecks = 10;
constexpr int32_t kReadinessWaitMs = 60000;
constexpr milliseconds kLivenessPause{500};
constexpr milliseconds kStartRetryPause{1000};
constexpr milliseconds kConnectionRetryPause{2000};
constexpr milliseconds kTunRetryPause{1000};
constexpr milliseconds kTunCheckPause{200};
constexpr milliseconds kRouteSettlePause{300};

// The interface sing-box creates: matched by its whole alias, letter case included.
constexpr wchar_t kTunAlias[] = L"OrvoVPN";

}  // namespace

void Runtime::AbandonConnect() {
  connect_abandoned_.store(true);
  facilities_.singbox.AbandonWaits();
}

bool Runtime::StartSingboxWithRetries(const std::string& config, std::string& error) {
  SingboxWrapper& singbox = facilities_.singbox;
  const auto start = facilities_.clock.Now();
  for (int connection = 1; connection <= kConnectionAttempts; ++connection) {
    if (connect_abandoned_.load()) {
      return false;
    }
    LogLine("ORVO_SVC: [%lldms] Connection attempt %d/%d\n", ElapsedMs(start), connection,
            kConnectionAttempts);
    bool running = false;
    for (int attempt = 1; attempt <= kStartAttempts; ++attempt) {
      LogLine("ORVO_SVC: [%lldms] sing-box start attempt %d/%d\n", ElapsedMs(start), attempt,
              kStartAttempts);
      // A successful Start consumes the stored document, so every start stores it again.
      if (!singbox.CreateService(config)) {
        error = "ERR_SINGBOX_CREATE: " + singbox.LastError();
        LogLine("ORVO_SVC: [%lldms] %s\n", ElapsedMs(start), error.c_str());
        break;
      }
      if (!singbox.Start()) {
        error = "ERR_SINGBOX_START: " + singbox.LastError();
        LogLine("ORVO_SVC: [%lldms] %s\n", ElapsedMs(start), error.c_str());
        if (attempt == kStartAttempts) {
          break;
        }
        LogLine("ORVO_SVC: [%lldms] Retrying in 1s...\n", ElapsedMs(start));
        facilities_.sleeper.Sleep(kStartRetryPause);
        continue;
      }
      facilities_.sleeper.Sleep(kLivenessPause);
      if (singbox.IsRunning()) {
        running = true;
        break;
      }
      LogLine("ORVO_SVC: [%lldms] sing-box crashed\n", ElapsedMs(start));
      singbox.Stop();
      error = "ERR_SINGBOX_CRASH: sing-box exited unexpectedly";
      if (attempt < kStartAttempts) {
        LogLine("ORVO_SVC: [%lldms] Retrying in 1s...\n", ElapsedMs(start));
        facilities_.sleeper.Sleep(kStartRetryPause);
      }
    }

    if (running) {
      LogLine("ORVO_SVC: [%lldms] sing-box running\n", ElapsedMs(start));
      if (WaitForTunUp(error)) {
        return true;
      }
      if (connection == kConnectionAttempts || connect_abandoned_.load()) {
        return false;
      }
      LogLine("ORVO_SVC: [%lldms] TUN not ready, cleaning up and retrying...\n", ElapsedMs(start));
      singbox.Stop();
      CleanupWintunAdapters(facilities_.cleanup);
      ForgetTunLuid();
      facilities_.sleeper.Sleep(kTunRetryPause);
      continue;
    }

    if (connection == kConnectionAttempts) {
      return false;
    }
    LogLine("ORVO_SVC: [%lldms] sing-box failed, retrying connection...\n", ElapsedMs(start));
    facilities_.sleeper.Sleep(kConnectionRetryPause);
  }
  return false;
}

bool Runtime::WaitForTunUp(std::string& error) {
  SingboxWrapper& singbox = facilities_.singbox;
  const auto start = facilities_.clock.Now();
  LogLine("ORVO_SVC: [%lldms] Waiting for sing-box started signal...\n", ElapsedMs(start));
  if (!singbox.WaitForStarted(kReadinessWaitMs)) {
    error = singbox.IsRunning() ? "ERR_SINGBOX_TIMEOUT: sing-box did not start within 60 seconds"
                                : "ERR_SINGBOX_CRASH: sing-box exited during startup";
    LogLine("ORVO_SVC: [%lldms] %s\n", ElapsedMs(start), error.c_str());
    singbox.Stop();
    return false;
  }
  LogLine("ORVO_SVC: [%lldms] sing-box reported started, verifying TUN interface...\n",
          ElapsedMs(start));

  bool exited = false;
  for (int check = 1; check <= kTunChecks; ++check) {
    if (!singbox.IsRunning()) {
      exited = true;
      break;
    }
    std::vector<platform::InterfaceRow> rows;
    if (facilities_.ip_helper->GetInterfaceTable(rows) != platform::kIpHelperOk) {
      LogLine("ORVO_SVC: [%lldms] GetIfTable2 failed, attempt %d/%d\n", ElapsedMs(start), check,
              kTunChecks);
      facilities_.sleeper.Sleep(kTunCheckPause);
      continue;
    }
    bool up = false;
    for (const platform::InterfaceRow& row : rows) {
      if (row.alias != kTunAlias) {
        continue;
      }
      SetTunLuid(row.luid);
      up = row.oper_status == platform::kIfOperStatusUp;
      if (up) {
        LogLine("ORVO_SVC: [%lldms] TUN 'OrvoVPN' is UP (verify attempt %d/%d)\n", ElapsedMs(start),
                check, kTunChecks);
      } else {
        LogLine("ORVO_SVC: [%lldms] TUN 'OrvoVPN' found but OperStatus=%d, waiting...\n",
                ElapsedMs(start), row.oper_status);
      }
      break;
    }
    if (up) {
      facilities_.sleeper.Sleep(kRouteSettlePause);
      LogLine("ORVO_SVC: [%lldms] TUN ready, routes settled\n", ElapsedMs(start));
      return true;
    }
    facilities_.sleeper.Sleep(kTunCheckPause);
  }
  error = exited ? "ERR_SINGBOX_CRASH: sing-box exited after reporting started"
                 : "ERR_TUN_NOT_UP: sing-box started but TUN 'OrvoVPN' not in UP state";
  LogLine("ORVO_SVC: [%lldms] %s\n", ElapsedMs(start), error.c_str());
  singbox.Stop();
  return false;
}

}  // namespace orvo_vpn_win_svc
