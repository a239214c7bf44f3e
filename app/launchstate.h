#pragma once

namespace VpnService {

// What the service inherits from whoever launched it and must not trust: closed standard
// descriptors and a working directory that cannot be named. Both calls run on the main
// thread, first thing in main(), before any other thread exists and before anything
// opens a file or a socket.

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed. Otherwise the next
// file or socket lands there: standard error would then write log lines into the log
// file a second time or into a client's connection, and children would get it as a
// standard stream. A descriptor that cannot be opened stays closed.
void openClosedStandardDescriptors();

// Changes to "/" when the working directory cannot be named (deleted, or a path too long
// for the framework's buffer): the framework's application object asks for it when it is
// built and throws otherwise. True when it changed. The service itself never uses its
// working directory.
bool leaveUnnamedWorkingDirectory();

}  // namespace VpnService
