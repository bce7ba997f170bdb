#pragma once

#include <atomic>

// SIGTERM, SIGINT and SIGHUP end a serving session in an orderly way: the handler only raises
// a flag, and because it is installed without automatic restart a waiting poll() returns at
// once, so the loop notices within one pass.
struct StopSignal {
    static std::atomic<bool> STOPPED;

    static void install();
    static void on_signal(int signal_number);
};
