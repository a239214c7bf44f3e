#include "app/launchstate.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>

namespace VpnService {

void openClosedStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor: this one, since those below it are open by now.
        // Not close-on-exec: children get it as their standard stream.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

bool leaveUnnamedWorkingDirectory()
{
    char path[PATH_MAX];  // the size the framework asks with
    if (::getcwd(path, sizeof path) != nullptr) return false;
    return ::chdir("/") == 0;
}

}  // namespace VpnService
