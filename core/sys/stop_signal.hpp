#pragma once

#include <atomic>
#include <csignal>

// SIGTERM, SIGINT and SIGHUP end a serving session in an orderly way: the handler only raises
// a flag, and because it is installed without automatic restart a waiting poll() returns at
// once, so the loop notices within one pass.
struct StopSignal {
    static constexpr int SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};
    static std::atomic<bool> STOPPED;

    // The three as a set, for blocking them or waiting for one.
    static sigset_t signal_set();

    static void install();
    static void on_signal(int signal_number);
};
