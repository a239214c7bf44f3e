#pragma once

// Keeps what fuzzed requests carry out off the machine. Linking hostguard.cpp into a fuzz
// target replaces three C library functions for the whole process:
// - posix_spawn never starts the requested path: it starts /bin/true with no argument
//   (or, in Refuse mode, fails with EPERM), so a fuzzed "start:" can run nothing else;
//   the shell of the kill-all command line is counted apart and always replaced by
//   /bin/true, so that it ends with 0 as the real one does;
// - system() is left to the real one (the fuzzer's own merge and fork modes use it);
// - kill() aborts, which the fuzzer reports as a crash, unless the target is this
//   process or a child that the guard started and that has not been reaped yet: the
//   service must never signal a process it does not supervise.
// Every function here may be called from any thread.
namespace HostGuard {

enum class SpawnMode { StartTrue, Refuse };

// StartTrue unless set; set it before the first input.
void setSpawnMode(SpawnMode mode);
// How many spawns were asked for (started or refused) and how many kill-all commands
// were run, since the process started.
long spawnCount();
long killAllCount();

// Drops the log's copy of every line on standard error, which would bury the fuzzer's own
// report; the log file still gets every line. Call before the log's set-up.
void silenceLogConsole();

}  // namespace HostGuard
