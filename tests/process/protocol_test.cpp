// The status-message texts and the base-name rule, as one table.

#include "process/protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using VpnService::Protocol;

struct MessageCase {
    int pid;
    int exitCode;
    std::string path;
    std::string baseName;
    std::string started;
    std::string finished;
};

const MessageCase kCases[] = {
    {812, 1, "/opt/tools/openvpn", "openvpn", "started:812,0,openvpn", "finished:812,1,openvpn"},
    {812, 0, "/opt/tools/dns.sh", "dns", "started:812,0,dns", "finished:812,0,dns"},
    {7, 0, "/usr/sbin/openvpn", "openvpn", "started:7,0,openvpn", "finished:7,0,openvpn"},
    {7, 0, "/opt/tools/reset.sh", "reset", "started:7,0,reset", "finished:7,0,reset"},
    {7, 0, "archive.tar.gz", "archive.tar", "started:7,0,archive.tar", "finished:7,0,archive.tar"},
    {7, 0, "openvpn", "openvpn", "started:7,0,openvpn", "finished:7,0,openvpn"},
    {7, 0, "/opt/tools/", "", "started:7,0,", "finished:7,0,"},
    {7, 0, "/etc/.profile", "", "started:7,0,", "finished:7,0,"},
    {7, 0, "run.", "run", "started:7,0,run", "finished:7,0,run"},
    {7, 0, "dir.d/prog", "prog", "started:7,0,prog", "finished:7,0,prog"},
    {812, 0, "", "", "started:812,0,", "finished:812,0,"},
    {7, 0, "~", "", "started:7,0,", "finished:7,0,"},
    // A backslash is an ordinary character on this platform.
    {7, 0, "c:\\tools\\vpn.exe", "c:\\tools\\vpn", "started:7,0,c:\\tools\\vpn",
     "finished:7,0,c:\\tools\\vpn"},
    // Separators inside the name go out unchanged.
    {7, 0, "/opt/a,b:c", "a,b:c", "started:7,0,a,b:c", "finished:7,0,a,b:c"},
    // Numbers are plain signed decimals; the started message's second field is always 0.
    {-5, -1, "/bin/x", "x", "started:-5,0,x", "finished:-5,-1,x"},
    {2147483647, 255, "/bin/x", "x", "started:2147483647,0,x", "finished:2147483647,255,x"},
};

TEST(ProtocolTest, MessagesAndBaseNames)
{
    EXPECT_EQ(Protocol::replySeparator(), ":");
    EXPECT_EQ(Protocol::itemSeparator(), ",");
    for (const MessageCase& c : kCases) {
        SCOPED_TRACE("path \"" + c.path + "\"");
        EXPECT_EQ(Protocol::fileNameToBaseName(c.path), c.baseName);
        EXPECT_EQ(Protocol::startedMessage(c.pid, c.path), c.started);
        EXPECT_EQ(Protocol::finishedMessage(c.pid, c.exitCode, c.path), c.finished);
    }
}

}  // namespace
