#pragma once

namespace orvo_vpn_win_svc::platform {

// The pipe's security descriptor. Deny entries come first so they win over the allow entries.
//   D:P                  protected DACL: nothing inherited
//   (D;;GA;;;NU)         network logons: no access at all
//   (D;;GA;;;AN)         anonymous: no access at all
//   (A;;GA;;;SY)         LocalSystem, the service's account: full access
//   (A;;0x12019f;;;BA)   Administrators: FILE_GENERIC_READ | FILE_GENERIC_WRITE
//   (A;;0x12019f;;;AU)   authenticated users: the same
// Clients open the pipe with GENERIC_READ | GENERIC_WRITE, as nearly every client library does,
// and that maps to exactly these rights. Generic write includes FILE_APPEND_DATA, which for a
// pipe is FILE_CREATE_PIPE_INSTANCE; what keeps another process from adding an instance of its
// own and answering the next client in the service's stead is the pipe's maximum of one
// instance (local_message_pipe.cpp), which holds against every caller, whatever the DACL grants.
inline constexpr wchar_t kPipeSecurityDescriptor[] =
    L"D:P(D;;GA;;;NU)(D;;GA;;;AN)(A;;GA;;;SY)(A;;0x12019f;;;BA)(A;;0x12019f;;;AU)";

}  // namespace orvo_vpn_win_svc::platform
