#include "channel/requesthandlerfactory.h"

#include <Poco/Format.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/String.h>

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

// host[:port] of a lower-cased origin, as browsers write it.
bool isLoopbackAuthority(const std::string& authority)
{
    if (authority.find('@') != std::string::npos)
        return false;  // no origin carries user information
    if (!authority.empty() && authority[0] == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string::npos) return false;
        const std::string host = authority.substr(1, close - 1);
        const std::string after = authority.substr(close + 1);
        return (after.empty() || after[0] == ':') &&
               host.find_first_not_of("0123456789abcdef:") == std::string::npos &&
               isLoopbackAddress(host, Poco::Net::IPAddress::IPv6);
    }
    const std::string host = authority.substr(0, authority.find(':'));
    if (host == "localhost") return true;
    // Digits and dots only, so that no name that merely begins with an address passes.
    return !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos &&
           isLoopbackAddress(host, Poco::Net::IPAddress::IPv4);
}

// False for an http or https origin whose host is not loopback (localhost, 127.0.0.0/8,
// [::1]); true for every other origin: "null", "file://" and native clients' own schemes.
bool originAdmitted(const std::string& origin)
{
    const std::string lower = Poco::toLower(origin);
    for (const std::string scheme : {"http://", "https://"}) {
        if (lower.compare(0, scheme.size(), scheme) == 0) {
            const std::string rest = lower.substr(scheme.size());
            return isLoopbackAuthority(rest.substr(0, rest.find_first_of("/?#")));
        }
    }
    return true;
}

}  // namespace

Poco::Net::HTTPRequestHandler* RequestHandlerFactory::createRequestHandler(
    const Poco::Net::HTTPServerRequest& request)
{
    Log::information(
        Poco::format("%s %s", m_objectName, "Request from " + request.clientAddress().toString()));
    if (!request.has("Upgrade") || Poco::icompare(request.get("Upgrade"), "websocket") != 0) {
        Log::error(Poco::format("%s This socket is not a socket", m_objectName));
        return nullptr;
    }
    if (request.has("Origin") && !originAdmitted(request.get("Origin"))) {
        Log::error(Poco::format("%s Origin refused: %s", m_objectName,
                                LogText::client(request.get("Origin"))));
        return new OriginRefusedHandler;
    }
    return new WebSocketRequestHandler;
}

}  // namespace VpnService
