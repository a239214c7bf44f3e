#pragma once

#include <string>

namespace VpnService {

// Whole seconds since the Unix epoch, in decimal, truncated toward zero. Any thread.
// ServiceApplication::timestampToString() is this clock; layers below the application
// call it here, so that none of them needs the application's header.
std::string timestampToString();

}  // namespace VpnService
