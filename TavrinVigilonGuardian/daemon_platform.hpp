#pragma once

#include <chrono>

// What the daemon asks of the platform's threads and run loop.

// Lets the system fire the calling thread's timed waits up to `leeway` late, so that its
// wake-ups can be coalesced with others.
void setThreadTimerLeeway(std::chrono::milliseconds leeway);

// Hands the calling (main) thread to the platform for good; the daemon's work happens on its
// other threads. Returns only if the platform's loop breaks down.
void runMainRunLoop();
