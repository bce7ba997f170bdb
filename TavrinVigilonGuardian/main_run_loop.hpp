#pragma once

// Hands the calling (main) thread to the platform for good; the daemon's work happens on its
// other threads. Returns only if the platform's loop breaks down.
void runMainRunLoop();
