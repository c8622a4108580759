// A stand-in for the sing-box program, for tests only. It honours the contract the service
// relies on (the `version` query, `run -c stdin` with the configuration on standard input, the
// readiness text) and otherwise does what its environment says:
//
//   SINGBOX_STAND_IN_VERSION_OUTPUT  text printed for `version` ("\n" and "\r" are escapes)
//   SINGBOX_STAND_IN_VERSION_HANG    "open": stay alive after printing; "closed": also close output
//   SINGBOX_STAND_IN_READY           "now" (default), "never", "split" (the text in two writes)
//   SINGBOX_STAND_IN_READY_DELAY_MS  pause before the readiness text
//   SINGBOX_STAND_IN_SPLIT_PAUSE_MS  pause between the two halves of a split text (default 400)
//   SINGBOX_STAND_IN_EXIT_CODE       exit with this code ...
//   SINGBOX_STAND_IN_EXIT_WHEN       ... "before-ready" (default) or "after-ready"
//   SINGBOX_STAND_IN_EXIT_DELAY_MS   pause before that exit
//   SINGBOX_STAND_IN_TUN             "1": create and raise the document's TUN interface (Linux)
//   SINGBOX_STAND_IN_RECORD          file that receives the arguments, the working directory and
//                                    the configuration as read
//
// A "mixed" inbound makes it listen on the inbound's listen:listen_port. Without an exit code
// it runs until it is ended.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "stand_in_system.h"

namespace singbox_stand_in {
namespace {

long NumberFromEnvironment(const char* name, long fallback) {
  const std::optional<std::string> value = Environment(name);
  return value ? std::strtol(value->c_str(), nullptr, 10) : fallback;
}

std::string Unescape(const std::string& text) {
  std::string result;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 'n' || text[i + 1] == 'r')) {
      result.push_back(text[i + 1] == 'n' ? '\n' : '\r');
      ++i;
    } else {
      result.push_back(text[i]);
    }
  }
  return result;
}

[[noreturn]] void HangForever() {
  for (;;) {
    SleepMs(1000);
  }
}

int AnswerVersion() {
  const std::string output =
      Unescape(Environment("SINGBOX_STAND_IN_VERSION_OUTPUT")
                   .value_or("sing-box version 1.11.0-stand-in\\n\\nEnvironment: test\\n"));
  WriteOut(output);
  const std::string hang = Environment("SINGBOX_STAND_IN_VERSION_HANG").value_or("");
  if (hang == "closed") {
    CloseOutputStreams();
    HangForever();
  }
  if (hang == "open") {
    HangForever();
  }
  return 0;
}

void Record(int argc, char** argv, const std::string& config) {
  const std::optional<std::string> path = Environment("SINGBOX_STAND_IN_RECORD");
  if (!path) {
    return;
  }
  std::ofstream record(*path, std::ios::binary | std::ios::trunc);
  record << "args:";
  for (int i = 1; i < argc; ++i) {
    record << ' ' << argv[i];
  }
  record << "\ncwd: " << CurrentDirectory() << "\nconfig:\n" << config;
}

// Sets up what the document's inbounds ask for; an empty text when all went well.
std::string OpenInbounds(const nlohmann::json& document) {
  if (!document.contains("inbounds") || !document["inbounds"].is_array()) {
    return {};
  }
  for (const nlohmann::json& inbound : document["inbounds"]) {
    const std::string type = inbound.value("type", "");
    if (type == "mixed") {
      std::string failure =
          ListenTcp(inbound.value("listen", "127.0.0.1"), inbound.value("listen_port", 0));
      if (!failure.empty()) {
        return failure;
      }
    } else if (type == "tun" && Environment("SINGBOX_STAND_IN_TUN").value_or("") == "1") {
      std::string failure = CreateTun(inbound.value("interface_name", ""));
      if (!failure.empty()) {
        return failure;
      }
    }
  }
  return {};
}

void ExitIfAsked(const std::string& stage) {
  const std::optional<std::string> code = Environment("SINGBOX_STAND_IN_EXIT_CODE");
  if (!code || Environment("SINGBOX_STAND_IN_EXIT_WHEN").value_or("before-ready") != stage) {
    return;
  }
  SleepMs(NumberFromEnvironment("SINGBOX_STAND_IN_EXIT_DELAY_MS", 0));
  WriteError("FATAL[0000] stand-in exiting with code " + *code + "\n");
  std::exit(std::atoi(code->c_str()));
}

int Run(int argc, char** argv) {
  std::string config;
  char buffer[4096];
  for (size_t count; (count = std::fread(buffer, 1, sizeof buffer, stdin)) > 0;) {
    config.append(buffer, count);
  }
  Record(argc, argv, config);
  const nlohmann::json document = nlohmann::json::parse(config, nullptr, false);
  if (document.is_discarded()) {
    WriteError("FATAL[0000] decode config: the configuration is not JSON\n");
    return 2;
  }
  WriteOut("stand-in: configuration accepted (" + std::to_string(config.size()) + " bytes)\n");
  const std::string failure = OpenInbounds(document);
  if (!failure.empty()) {
    WriteError("FATAL[0000] start service: " + failure + "\n");
    return 1;
  }
  ExitIfAsked("before-ready");
  SleepMs(NumberFromEnvironment("SINGBOX_STAND_IN_READY_DELAY_MS", 0));
  const std::string ready = Environment("SINGBOX_STAND_IN_READY").value_or("now");
  if (ready == "split") {
    WriteError("INFO[0000] sing-box sta");
    SleepMs(NumberFromEnvironment("SINGBOX_STAND_IN_SPLIT_PAUSE_MS", 400));
    WriteError("rted (0.00s)\n");
  } else if (ready != "never") {
    WriteError("INFO[0000] sing-box started (0.00s)\n");
  }
  ExitIfAsked("after-ready");
  HangForever();
}

}  // namespace
}  // namespace singbox_stand_in

int main(int argc, char** argv) {
  singbox_stand_in::PrepareStandardStreams();
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "version") {
    return singbox_stand_in::AnswerVersion();
  }
  if (command == "run" && argc == 4 && std::string(argv[2]) == "-c" &&
      std::string(argv[3]) == "stdin") {
    return singbox_stand_in::Run(argc, argv);
  }
  singbox_stand_in::WriteError("usage: sing-box version | sing-box run -c stdin\n");
  return 64;
}
