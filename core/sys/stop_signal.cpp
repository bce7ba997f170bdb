#include "sys/stop_signal.hpp"

#include <csignal>

std::atomic<bool> StopSignal::STOPPED{false};

void StopSignal::on_signal(int) { STOPPED.store(true, std::memory_order_release); }

void StopSignal::install() {
    struct sigaction action {};
    action.sa_handler = &StopSignal::on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the blocking poll must be interrupted
    for (const int sig : SIGNALS) sigaction(sig, &action, nullptr);
}

sigset_t StopSignal::signal_set() {
    sigset_t stops;
    sigemptyset(&stops);
    for (const int sig : SIGNALS) sigaddset(&stops, sig);
    return stops;
}
