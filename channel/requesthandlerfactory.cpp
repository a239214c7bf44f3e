#include "channel/requesthandlerfactory.h"

#include <Poco/Format.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/String.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "channel/requestlog.h"
#include "channel/websocketrequesthandler.h"
#include "core/customlog.h"
#include "core/logtext.h"

namespace VpnService {

namespace {

// Answers a refused origin before any handshake, so that no connection is counted or
// subscribed for it.
class OriginRefusedHandler : public Poco::Net::HTTPRequestHandler {
public:
    void handleRequest(Poco::Net::HTTPServerRequest&,
                       Poco::Net::HTTPServerResponse& response) override
    {
        response.setStatusAndReason(Poco::Net::HTTPResponse::HTTP_FORBIDDEN);
        response.setContentLength(0);
        response.send();
    }
};

bool isLoopbackAddress(const std::string& text, Poco::Net::IPAddress::Family family)
{
    Poco::Net::IPAddress address;
    return Poco::Net::IPAddress::tryParse(text, address) && address.family() == family &&
           address.isLoopback();
}

// host[:port] of an origin, as browsers serialise it: no user information, no path, a
// port of digits only.
bool isLoopbackAuthority(const std::string& authority)
{
    std::string host = authority;
    std::string::size_type portAt = std::string::npos;  // where ":port" begins
    bool loopback = false;
    if (!authority.empty() && authority[0] == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string::npos) return false;
        host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) portAt = close + 1;
        loopback = host.find_first_not_of("0123456789abcdef:") == std::string::npos &&
                   isLoopbackAddress(host, Poco::Net::IPAddress::IPv6);
    } else {
        portAt = authority.find(':');
        host = authority.substr(0, portAt);
        // Digits and dots only, so that no name that merely begins with an address passes.
        loopback = host == "localhost" ||
                   (!host.empty() && host.find_first_not_of("0123456789.") == std::string::npos &&
                    isLoopbackAddress(host, Poco::Net::IPAddress::IPv4));
    }
    if (!loopback) return false;
    if (portAt == std::string::npos) return true;
    const std::string port = authority.substr(portAt + 1);
    return authority[portAt] == ':' && !port.empty() && port.size() <= 5 &&
           port.find_first_not_of("0123456789") == std::string::npos && std::stoi(port) <= 65535;
}

// Only a page that this machine itself serves may drive the service: an http or https
// origin with a loopback host (localhost, 127.0.0.0/8, [::1]), any port. Every other
// value is refused, above all "null", which sandboxed frames, data URLs and file pages
// send whatever page holds them, and the schemes of browser extensions.
bool originAdmitted(const std::string& origin)
{
    const std::string lower = Poco::toLower(origin);
    for (const std::string scheme : {"http://", "https://"}) {
        if (lower.compare(0, scheme.size(), scheme) == 0)
            return isLoopbackAuthority(lower.substr(scheme.size()));
    }
    return false;
}

// Every Origin header of the request, in arrival order.
std::vector<std::string> originsOf(const Poco::Net::HTTPServerRequest& request)
{
    std::vector<std::string> origins;
    for (auto it = request.find("Origin"); it != request.end(); ++it) {
        if (Poco::icompare(it->first, "Origin") != 0) break;
        origins.push_back(it->second);
    }
    return origins;
}

}  // namespace

Poco::Net::HTTPRequestHandler* RequestHandlerFactory::createRequestHandler(
    const Poco::Net::HTTPServerRequest& request)
{
    const Poco::Net::SocketAddress& client = request.clientAddress();
    if (!request.has("Upgrade") || Poco::icompare(request.get("Upgrade"), "websocket") != 0) {
        RequestLog::refused(client, [&] {
            RequestLog::requestFrom(client);
            Log::error(Poco::format("%s This socket is not a socket", m_objectName));
        });
        return nullptr;
    }
    // Native clients send no Origin. Two that differ leave no one origin to judge.
    const std::vector<std::string> origins = originsOf(request);
    if (!origins.empty() && (!originAdmitted(origins.front()) ||
                             std::adjacent_find(origins.begin(), origins.end(),
                                                std::not_equal_to<>()) != origins.end())) {
        RequestLog::refused(client, [&] {
            RequestLog::requestFrom(client);
            Log::error(Poco::format(
                "%s Origin refused: %s", m_objectName,
                LogText::client(Poco::cat(std::string(", "), origins.begin(), origins.end()))));
        });
        return new OriginRefusedHandler;
    }
    // The handler logs the request once the handshake has told whether it is admitted.
    return new WebSocketRequestHandler;
}

}  // namespace VpnService
