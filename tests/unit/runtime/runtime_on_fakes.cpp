#include "unit/runtime/runtime_on_fakes.h"

#include <sstream>

#include "platform/singbox_image.h"
#include "platform/system_paths.h"
#include "platform/text_encoding.h"

namespace orvo_test {

namespace svc = orvo_vpn_win_svc;

RuntimeOnFakes::RuntimeOnFakes() {
  directory_.AddFile(svc::WideToUtf8(svc::platform::SingboxImageName()));
  service_dir_ = directory_.path().wstring();
  // The kill switch permits the service's executable by its application id: it must exist.
  executable_path_ = directory_.AddFile("orvo-vpn-svc.exe");
  runtime_ = std::make_unique<svc::Runtime>(Facilities(wfp_));
  log_.Clear();  // the WFP manager's start-up
}

RuntimeOnFakes::~RuntimeOnFakes() {
  runtime_.reset();
}

svc::RuntimeFacilities RuntimeOnFakes::Facilities(svc::WfpManager& wfp) {
  return {
      singbox_,
      wfp,
      ip_helper_,
      clock_,
      clock_,
      [] { return kNow; },
      {processes_, runtime_devices_, clock_, spared_},
      [this](const std::string& host) { return resolver_->ResolveIpv4(host); },
      [this] { return wintun_installed_; },
      [this] { return socket_library_starts_; },
      [this] { return executable_path_; },
  };
}

void RuntimeOnFakes::Initialize() {
  children_.scripts.push_back(FakeChildScript::ExitsWith(0, {"sing-box version 1.11.0\n"}));
  ASSERT_TRUE(runtime_->Initialize(service_dir_));
  log_.Clear();
}

void RuntimeOnFakes::QueueReadyChildren(int count) {
  for (int i = 0; i < count; ++i) {
    children_.scripts.push_back(FakeChildScript::Printing({kReadyOutput}));
  }
}

void RuntimeOnFakes::ShowTun(const std::wstring& alias, int32_t oper_status, uint64_t luid) {
  ip_helper_->SetInterfaces({{kPhysicalLuid, 2, L"Ethernet", L"Intel(R) Ethernet", 1},
                             {luid, 7, alias, L"sing-box TUN", oper_status}});
}

void RuntimeOnFakes::ConnectUp() {
  QueueReadyChildren();
  ShowTun();
  std::string error;
  ASSERT_TRUE(runtime_->ConnectHysteria2(Request(), error)) << error;
}

svc::Hysteria2ConnectRequest RuntimeOnFakes::Request(const std::string& server) {
  svc::Hysteria2ConnectRequest request;
  request.server_ip = server;
  request.server_domain = "hy.example.net";
  request.port = 443;
  request.password = "correct horse battery";
  return request;
}

std::string RuntimeOnFakes::TimedLines() const {
  std::istringstream log(log_.StandardError());
  std::string lines;
  for (std::string line; std::getline(log, line);) {
    if (line.rfind("ORVO_SVC: [", 0) == 0) {
      lines += line + "\n";
    }
  }
  return lines;
}

size_t RuntimeOnFakes::CountInLog(const std::string& text) const {
  const std::string log = log_.StandardError();
  size_t count = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
    ++count;
  }
  return count;
}

bool RuntimeOnFakes::LastChildEnded() {
  const std::shared_ptr<FakeChild> child = children_.LastChild();
  if (!child) {
    return true;
  }
  std::lock_guard lock(child->mutex);
  return child->exit_code != svc::platform::kStillActive;
}

}  // namespace orvo_test
