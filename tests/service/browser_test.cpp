// The trust boundary tested with the real attacker: a web page in a real browser (Debian's
// headless Chromium). A page from another host, and a sandboxed frame on any page (which
// sends Origin: null), must not get in; a page served from a loopback origin must, and its
// close must be clean. The page reports what it saw to the small HTTP server that serves it.
#include <Poco/Net/HTMLForm.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "client.h"
#include "serviceprocess.h"

using namespace servicetest;

namespace {

const char* const kChromium = "/usr/bin/chromium";

// Opens the service's WebSocket itself and from a sandboxed frame; each reports whether
// it opened, the first message, and how the connection closed. The frame's request
// would leave a file behind if it were carried out. Loaded with "?flood", the page then
// sends plain requests to the service from 16 loops for 3 s, as any page can, and
// reports how many.
const char* const kPage = R"(<!doctype html>
<html><body><script>
let reported = 0;
function report(name, result) {
  const form = new URLSearchParams({name: name, opened: result.opened, reply: result.reply,
                                    code: result.code, clean: result.clean});
  fetch('/report', {method: 'POST', body: form});
  if (++reported == 2 && location.search == '?flood') flood();
}
async function flood() {
  let requests = 0;
  const end = performance.now() + 3000;
  const loop = async () => {
    while (performance.now() < end) {
      try {
        await fetch('http://127.0.0.1:6457/', {mode: 'no-cors', cache: 'no-store'});
      } catch (e) {
      }
      ++requests;
    }
  };
  await Promise.all(Array.from({length: 16}, loop));
  fetch('/report', {method: 'POST', body: new URLSearchParams({name: 'flood', requests: requests})});
}
const direct = {opened: false, reply: ''};
const ws = new WebSocket('ws://127.0.0.1:6457/');
ws.onopen = () => { direct.opened = true; ws.send('hello'); };
ws.onmessage = (event) => { direct.reply = event.data; ws.close(1000); };
ws.onclose = (event) => {
  direct.code = event.code;
  direct.clean = event.wasClean;
  report('direct', direct);
};
window.addEventListener('message', (event) => report('sandboxed', event.data));
const frame = document.createElement('iframe');
frame.sandbox = 'allow-scripts';
frame.srcdoc = `<script>
  const result = {opened: false, reply: ''};
  const ws = new WebSocket('ws://127.0.0.1:6457/');
  ws.onopen = () => { result.opened = true; ws.send('start: /bin/touch /tmp/sandboxed-frame-ran'); };
  ws.onmessage = (event) => { result.reply = event.data; ws.close(1000); };
  ws.onclose = (event) => {
    result.code = event.code;
    result.clean = event.wasClean;
    parent.postMessage(result, '*');
  };
<\/script>`;
document.body.appendChild(frame);
</script></body></html>
)";

// The reports the page sent, by name ("direct", "sandboxed"), each a map of its fields.
class Reports {
public:
    void add(const std::map<std::string, std::string>& report)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reports[report.at("name")] = report;
        m_changed.notify_all();
    }
    // Waits until that many parts of the page have reported; false when the time-out
    // passes.
    bool waitFor(std::size_t count, std::chrono::seconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_reports.size() == count; });
    }
    std::map<std::string, std::string> get(const std::string& name)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reports[name];
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::string, std::map<std::string, std::string>> m_reports;  // guarded by m_mutex
};

class PageHandler : public Poco::Net::HTTPRequestHandler {
public:
    explicit PageHandler(Reports& reports) : m_reports(reports) {}
    void handleRequest(Poco::Net::HTTPServerRequest& request,
                       Poco::Net::HTTPServerResponse& response) override
    {
        if (request.getURI() == "/report") {
            Poco::Net::HTMLForm form(request, request.stream());
            std::map<std::string, std::string> report;
            for (const auto& [name, value] : form) report[name] = value;
            if (report.count("name") != 0) m_reports.add(report);
            response.setContentLength(0);
            response.send();
            return;
        }
        if (request.getURI() != "/" && request.getURI() != "/?flood") {
            response.setStatusAndReason(Poco::Net::HTTPResponse::HTTP_NOT_FOUND);
            response.setContentLength(0);
            response.send();
            return;
        }
        response.setContentType("text/html");
        response.sendBuffer(kPage, std::char_traits<char>::length(kPage));
    }

private:
    Reports& m_reports;
};

class PageFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    explicit PageFactory(Reports& reports) : m_reports(reports) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(
        const Poco::Net::HTTPServerRequest&) override
    {
        return new PageHandler(m_reports);
    }

private:
    Reports& m_reports;
};

// Serves the page on an ephemeral loopback port for as long as it lives.
class PageServer {
public:
    explicit PageServer(Reports& reports)
        : m_socket(Poco::Net::SocketAddress("127.0.0.1", 0)),
          m_server(new PageFactory(reports), m_socket, new Poco::Net::HTTPServerParams)
    {
        m_server.start();
    }
    ~PageServer() { m_server.stop(); }
    unsigned short port() const { return m_socket.address().port(); }

private:
    Poco::Net::ServerSocket m_socket;
    Poco::Net::HTTPServer m_server;
};

class Browser : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fileExists(kChromium)) << "chromium is missing: scripts/install-deps.sh";
        ASSERT_TRUE(service.waitServing(60s)) << service.standardError();
    }

    // Loads the page at url in a fresh headless browser, where web.example names this
    // machine, and waits for its reports (two, and the flood's).
    void load(const std::string& url, std::size_t reportCount = 2)
    {
        ServiceProcess browser(
            {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--user-data-dir=" + makeTempDir(), "--host-resolver-rules=MAP web.example 127.0.0.1",
             url},
            kChromium);
        // A first start on a busy machine takes seconds.
        const bool reported = reports.waitFor(reportCount, 60s);
        browser.signal(SIGTERM);
        if (!browser.waitExit(10s)) browser.signal(SIGKILL);
        const std::string said = browser.standardError();
        ASSERT_TRUE(reported) << "the page did not report; the browser's last words:\n"
                              << said.substr(said.size() > 2000 ? said.size() - 2000 : 0);
    }

    // Both refusals of a page: no connection, and the service logged the origin.
    void expectRefused(const std::string& name, const std::string& origin)
    {
        const auto report = reports.get(name);
        EXPECT_EQ(report.at("opened"), "false") << name;
        EXPECT_EQ(report.at("clean"), "false") << name;
        EXPECT_TRUE(waitForLog("[HTTPRequestHandlerFactory] Origin refused: " + origin)) << name;
    }

    ServiceProcess service;
    Reports reports;
    PageServer pages{reports};
};

TEST_F(Browser, PageFromAnotherHostAndItsSandboxedFrameAreRefused)
{
    const std::string origin = "http://web.example:" + std::to_string(pages.port());
    load(origin + "/");
    expectRefused("direct", origin);
    expectRefused("sandboxed", "null");
    EXPECT_EQ(findLog(logTexts(), "connection established"), -1);
    EXPECT_FALSE(fileExists("/tmp/sandboxed-frame-ran"));
    // The service serves native clients all the same.
    Client client;
    client.send("hello");
    EXPECT_NE(client.receiveText().find(",parse command error"), std::string::npos);
}

TEST_F(Browser, PageThatFloodsTheServiceWithRequestsGrowsTheLogByLittle)
{
    const auto logSize = [] { return static_cast<double>(readFile(kLogPath).size()); };
    const double before = logSize();
    load("http://web.example:" + std::to_string(pages.port()) + "/?flood", 3);
    const int requests = std::stoi(reports.get("flood").at("requests"));
    // The last second's summary, which comes by itself.
    EXPECT_TRUE(waitForLog(" more refused requests from 127.0.0.1 in the last second", 3s));
    const double perSecond = (logSize() - before) / 3;
    EXPECT_GT(requests, 0);
    EXPECT_LT(perSecond, 10 * 1024.0) << requests << " requests";
}

TEST_F(Browser, PageFromLoopbackOriginIsServedAndClosesCleanly)
{
    load("http://127.0.0.1:" + std::to_string(pages.port()) + "/");
    const auto direct = reports.get("direct");
    EXPECT_EQ(direct.at("opened"), "true");
    const std::string reply = direct.at("reply");
    EXPECT_EQ(reply.rfind("error:", 0), 0u) << reply;
    EXPECT_EQ(reply.substr(reply.find(',')), std::string(",parse command error") + '\0') << reply;
    EXPECT_EQ(direct.at("code"), "1000");
    EXPECT_EQ(direct.at("clean"), "true");
    // A sandboxed frame is refused on a loopback page too: it sends null.
    expectRefused("sandboxed", "null");
    EXPECT_FALSE(fileExists("/tmp/sandboxed-frame-ran"));
}

}  // namespace
