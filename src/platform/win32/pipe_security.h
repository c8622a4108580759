#pragma once

namespace orvo_vpn_win_svc::platform {

// The pipe's security descriptor. Deny entries come first so they win over the allow entries.
//   D:P                  protected DACL: nothing inherited
//   (D;;GA;;;NU)         network logons: no access at all
//   (D;;GA;;;AN)         anonymous: no access at all
//   (A;;GA;;;SY)         LocalSystem, the service's account: full access
//   (A;;GA;;;OW)         the pipe's owner (the account that created it): full access, which
//                        alone includes creating further instances of the pipe
//   (A;;0x1f01fb;;;BA)   Administrators: everything but FILE_CREATE_PIPE_INSTANCE (0x4)
//   (A;;0x12018b;;;AU)   authenticated users: FILE_GENERIC_READ, FILE_WRITE_DATA and
//                        FILE_WRITE_ATTRIBUTES (to switch to message read mode). Not generic
//                        write: it includes FILE_APPEND_DATA, which for a pipe is
//                        FILE_CREATE_PIPE_INSTANCE, and with it anyone could set up an instance
//                        of their own and take the next client's request. Clients therefore open
//                        the pipe with those specific rights rather than GENERIC_WRITE.
inline constexpr wchar_t kPipeSecurityDescriptor[] =
    L"D:P(D;;GA;;;NU)(D;;GA;;;AN)(A;;GA;;;SY)(A;;GA;;;OW)(A;;0x1f01fb;;;BA)(A;;0x12018b;;;AU)";

// What a client asks for when it opens the pipe: everything the descriptor grants to users.
inline constexpr unsigned long kPipeClientAccess = 0x12018B;

}  // namespace orvo_vpn_win_svc::platform
