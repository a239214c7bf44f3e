#include "app/signals.h"

#include <signal.h>

#include <cstdlib>
#include <ctime>

namespace VpnService {

namespace {

sigset_t terminationSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    if (std::getenv("POCO_ENABLE_DEBUGGER") == nullptr) sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGQUIT);
    sigaddset(&signals, SIGTERM);
    // A terminal that closes on a foreground run, or a careless kill -HUP: without the
    // drain, the queued at-exit records would be lost.
    sigaddset(&signals, SIGHUP);
    return signals;
}

}  // namespace

void restoreChildSignal()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;  // also clears SA_NOCLDWAIT, which reaps children as well
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGCHLD, &action, nullptr);
}

void blockTerminationSignals()
{
    const sigset_t signals = terminationSignals();
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

int waitForTerminationSignal()
{
    const sigset_t signals = terminationSignals();
    int signalNumber = 0;
    // sigwait fails only for an invalid set, which this one is not.
    return ::sigwait(&signals, &signalNumber) == 0 ? signalNumber : 0;
}

int takeTerminationSignal(std::chrono::milliseconds timeout)
{
    const sigset_t signals = terminationSignals();
    const auto ms = timeout.count() < 0 ? 0 : timeout.count();
    const timespec wait = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    const int signalNumber = ::sigtimedwait(&signals, nullptr, &wait);
    return signalNumber > 0 ? signalNumber : 0;  // -1: EAGAIN at the time-out, or EINTR
}

}  // namespace VpnService
