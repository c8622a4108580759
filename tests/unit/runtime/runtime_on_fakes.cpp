#include "unit/runtime/runtime_on_fakes.h"

#include "platform/singbox_image.h"
#include "platform/text_encoding.h"

namespace orvo_test {

namespace svc = orvo_vpn_win_svc;

RuntimeOnFakes::RuntimeOnFakes() {
  directory_.AddFile(svc::WideToUtf8(svc::platform::SingboxImageName()));
  service_dir_ = directory_.path().wstring();
  // The kill switch permits the service's executable by its application id: it must exist.
  executable_path_ = directory_.AddFile("orvo-vpn-svc.exe");
  svc::RuntimeFacilities facilities{
      singbox_,
      wfp_,
      ip_helper_,
      clock_,
      clock_,
      [] { return int64_t{1700000000}; },
      {processes_, runtime_devices_, clock_, spared_},
      [this](const std::string& host) { return resolver_->ResolveIpv4(host); },
      [this] { return wintun_installed_; },
      [this] { return socket_library_starts_; },
      [this] { return executable_path_; },
  };
  facilities.load_library = libraries_.Loader();
  facilities.last_error = [this] { return libraries_.LastError(); };
  facilities.stop_socket_library = [this] { ++socket_library_stops_; };
  facilities.open_udp_socket = [this](const svc::platform::IpAddress& server, uint16_t port) {
    return libraries_.OpenSocket(server, port);
  };
  facilities.packet_sleeper = &packet_sleeper_;
  facilities.start_thread = [this](std::function<void()> body, std::thread& thread) {
    return threads_started_++ != refuse_thread_ &&
           svc::platform::StartSystemThread(std::move(body), thread);
  };
  runtime_ = std::make_unique<svc::Runtime>(facilities);
  log_.Clear();  // the WFP manager's start-up
}

RuntimeOnFakes::~RuntimeOnFakes() {
  packet_sleeper_.Open();  // a WireGuard timer must leave its pause to be joined
  runtime_.reset();
}

void RuntimeOnFakes::Initialize() {
  children_.scripts.push_back(
      FakeChildScript{.exit_code = 0, .output = {"sing-box version 1.11.0\n"}});
  ASSERT_TRUE(runtime_->Initialize(service_dir_));
  log_.Clear();
}

void RuntimeOnFakes::QueueReadyChildren(int count) {
  for (int i = 0; i < count; ++i) {
    children_.scripts.push_back(
        FakeChildScript{.output = {"INFO[0000] sing-box started (0.00s)\n"}});
  }
}

void RuntimeOnFakes::ShowTun() {
  ip_helper_->SetInterfaces({{0x0035000000000002, 2, L"Ethernet", L"Intel(R) Ethernet", 1},
                             {0x0035000000000007, 7, L"OrvoVPN", L"sing-box TUN", 1}});
}

svc::Hysteria2ConnectRequest RuntimeOnFakes::Request() {
  svc::Hysteria2ConnectRequest request;
  request.server_ip = "203.0.113.7";
  request.server_domain = "hy.example.net";
  request.port = 443;
  request.password = "correct horse battery";
  return request;
}

svc::ConnectRequest RuntimeOnFakes::WireGuardRequest() {
  svc::ConnectRequest request;
  request.serverEndpoint = "vpn.example.net:51820";
  request.serverPublicKey = "xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=";
  request.privateKey = "yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=";
  request.assignedIp = "10.7.0.2";
  request.allowedIps = {"0.0.0.0/1",   "10.1.2.3/8",    "10.9.0.0",
                        "10.9.0.0/33", "10.999.0.0/16", "128.0.0.0/1"};
  request.mtu = 1380;
  return request;
}

void RuntimeOnFakes::ExpectText(const std::string& text, const std::string& file,
                                const std::string& section) {
  const std::string expected = GoldenText(file, section);
  if (expected.starts_with("CHECK")) {
    EXPECT_TRUE(MatchesChecks(text, expected)) << section;
  } else {
    EXPECT_EQ(text, expected) << section;
  }
}

}  // namespace orvo_test
