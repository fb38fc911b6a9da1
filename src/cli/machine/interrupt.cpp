#include "cli/machine/interrupt.h"

#include <csignal>

namespace {

volatile std::sig_atomic_t g_signal = 0;
volatile std::sig_atomic_t g_open = 0;

extern "C" void OnSignal(int signal)
{
    if (g_open == 0) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    g_signal = signal;
}

} // namespace

void InstallInterruptHandlers()
{
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

int InterruptSignal()
{
    return g_signal;
}

int TakeInterrupt()
{
    int signal = g_signal;
    g_signal = 0;
    return signal;
}

OpenVolume::OpenVolume()
{
    g_open = g_open + 1;
}

OpenVolume::~OpenVolume()
{
    g_open = g_open - 1;
}
