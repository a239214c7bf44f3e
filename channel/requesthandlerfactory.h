#pragma once

#include <Poco/Net/HTTPRequestHandlerFactory.h>

#include <string>

namespace VpnService {

// Admits WebSocket upgrade requests only (501 for anything else) and refuses web pages'
// origins (403): any page in the user's browser could otherwise open the port and start
// programs as root. Owned by the HTTP server; called by its worker threads, and keeps
// no state but its tag.
class RequestHandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    RequestHandlerFactory() = default;

    // Logs "Request from <address>". Returns a new WebSocketRequestHandler for an
    // "Upgrade: websocket" request (whole value, ASCII case ignored) from an admitted
    // origin, a handler that answers 403 for a refused origin, or null (the server then
    // answers 501). Throws what logging or the handler's construction throws.
    Poco::Net::HTTPRequestHandler* createRequestHandler(
        const Poco::Net::HTTPServerRequest& request) override;

private:
    const std::string m_objectName{"[HTTPRequestHandlerFactory]"};
};

}  // namespace VpnService
