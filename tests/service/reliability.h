#pragma once

#include <string>
#include <vector>

// What the load, fault and hostile-input tests of the real binary measure in it, and how
// they record their figures for docs/reliability.md (scripts/reliability-report.sh).
namespace servicetest {

// Number of open descriptors of the process (entries of /proc/<pid>/fd), the framework's
// short-lived epoll sets left out; -1 when the process is gone.
int descriptorCount(int pid);
// Resident memory of the process in KiB (VmRSS of /proc/<pid>/status); -1 when gone.
long residentKiB(int pid);

struct ChildProcess {
    int pid;
    char state;  // as in /proc/<pid>/stat: 'Z' for a child nobody has reaped yet
};
// Every process whose parent is `pid`, from this namespace's own /proc.
std::vector<ChildProcess> childrenOf(int pid);

// The pid of "started:<pid>,0,<name>" (any name when `name` is empty), or -1.
int startedPid(const std::string& message, const std::string& name = "");
// The pid of "finished:<pid>,<code>,<name>", or -1.
int finishedPid(const std::string& message);
// The failure text of "error:<seconds>,<text>" when the seconds are within 5 s of now;
// otherwise the message in angle brackets, so that a comparison shows what came.
std::string errorText(const std::string& message);

// True in a build with a sanitizer: such a build runs several times slower and its
// resident memory says nothing about the service's own.
bool sanitizerBuild();
// "address" (ASan+UBSan), "thread" (TSan) or "" (plain), as the build was configured.
std::string sanitizerName();
// The environment variable as a number, or `fallback` when it is unset or not a number.
int environmentInt(const char* name, int fallback);

// Appends one figure "<section>\t<what>\t<value>" to this test case's figures file in
// the build tree (<build>/reliability/<suite>.<test>.tsv, emptied by the first record of
// the process). Sections: load, faults, hostile, lost. Never throws: a figure that
// cannot be written does not fail the test it describes.
void recordFigure(const std::string& section, const std::string& what, const std::string& value);

}  // namespace servicetest
