#include <Poco/Timestamp.h>

#include "core/serviceapplication.h"

namespace VpnService {

// Kept in the core library, apart from the rest of the application object, because the
// control channel builds its error messages with it.
std::string ServiceApplication::timestampToString()
{
    const Poco::Timestamp::TimeVal micros = Poco::Timestamp().epochMicroseconds();
    return std::to_string(static_cast<int64_t>(micros / 1000000));
}

}  // namespace VpnService
