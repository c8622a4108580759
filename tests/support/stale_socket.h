#pragma once

#include <filesystem>

namespace orvo_test {

// Linux: leaves a socket file at `path` with no listener behind it, as a service that was
// killed does. False where there are no socket files (Windows).
bool LeaveStaleSocket(const std::filesystem::path& path);

}  // namespace orvo_test
