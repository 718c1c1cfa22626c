// Linux side of the service runtime: what the activated service makes of a start request.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace ZEPMaintenance::posix {

// The arguments ServiceMain gets for a start request: the service name first, as the manager passes it,
// then the sent arguments with any -usid and -lpid (and the values after them) replaced by the caller's
// identity as the socket gives it: -usid its SID, -lpid its process. A caller cannot name another user
// or another loader.
std::vector<std::wstring> ServiceMainArguments(const std::wstring& serviceName,
                                               const std::vector<std::wstring>& sent, uid_t callerUid,
                                               pid_t callerPid);

} // namespace ZEPMaintenance::posix
