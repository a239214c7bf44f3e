#pragma once

#include <string>

#include <Poco/Net/HTTPRequestHandlerFactory.h>

namespace VpnService {

// Admits WebSocket upgrade requests only (501 for anything else) and refuses web pages'
// origins (403). Called by the HTTP server's worker threads.
class RequestHandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    RequestHandlerFactory() = default;

    Poco::Net::HTTPRequestHandler* createRequestHandler(
        const Poco::Net::HTTPServerRequest& request) override;

private:
    const std::string m_objectName{"[HTTPRequestHandlerFactory]"};
};

}  // namespace VpnService
