#pragma once

#include <Poco/Net/HTTPRequestHandlerFactory.h>

#include <string>

namespace VpnService {

// Admits WebSocket upgrade requests only (501 for anything else), and of those only the
// ones without Origin or with a loopback http(s) origin (403 for every other): any page
// in the user's browser could otherwise open the port and start programs as root.
// Owned by the HTTP server; called by its worker threads, and keeps no state but its tag.
class RequestHandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    RequestHandlerFactory() = default;

    // Returns a new WebSocketRequestHandler for an "Upgrade: websocket" request (whole
    // value, ASCII case ignored) whose Origin headers, if any, all name one loopback
    // http(s) origin, which logs the request after its handshake; a handler that answers
    // 403 for any other Origin; or null (the server then answers 501). Refusals are
    // logged, "Request from <address>" first, within RequestLog's limit. Throws what
    // logging or the handler's construction throws.
    Poco::Net::HTTPRequestHandler* createRequestHandler(
        const Poco::Net::HTTPServerRequest& request) override;

private:
    const std::string m_objectName{"[HTTPRequestHandlerFactory]"};
};

}  // namespace VpnService
