#include "core/timestamp.h"

#include <Poco/Timestamp.h>

#include <cstdint>

namespace VpnService {

std::string timestampToString()
{
    const Poco::Timestamp::TimeVal micros = Poco::Timestamp().epochMicroseconds();
    return std::to_string(static_cast<int64_t>(micros / 1000000));
}

}  // namespace VpnService
