#pragma once

#include <optional>
#include <string>

// The few system services the sing-box stand-in needs, one implementation per OS.
namespace singbox_stand_in {

void PrepareStandardStreams();  // binary mode where text mode would change the bytes
void SleepMs(long milliseconds);
std::optional<std::string> Environment(const char* name);
std::string CurrentDirectory();
// Writes to standard output or standard error at once, unbuffered.
void WriteOut(const std::string& text);
void WriteError(const std::string& text);
void CloseOutputStreams();

// Opens a listening TCP socket on host:port that stays open until the process ends. Returns an
// empty string on success, else the failure text.
std::string ListenTcp(const std::string& host, int port);

// Creates the TUN interface `name`, raises it, and keeps it until the process ends. Returns an
// empty string on success, else the failure text.
std::string CreateTun(const std::string& name);

}  // namespace singbox_stand_in
