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

}  // namespace orvo_test
