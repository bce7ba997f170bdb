#pragma once

#include <functional>

// The daemon's main thread and the system's requests to stop it: SIGTERM (an unload, an update, a
// shutdown), SIGINT and SIGHUP.

// From here on a stop request no longer ends the process wherever it happens to be: it waits,
// however early it came, until the run loop takes it. Called on the main thread before any other
// thread exists, so that every thread of the daemon inherits the arrangement.
void holdStopRequests();

// Lets them through again, for a process that turned out not to be the daemon: one pending since
// then ends it at once.
void releaseStopRequests();

// Hands the calling (main) thread to the platform. The first stop request runs `stop` on this
// thread; requests after it change nothing. Returns once `stop` has returned, or if the
// platform's loop breaks down.
void runMainRunLoop(const std::function<void()>& stop);

// Waits on the calling thread until a held stop request is there and takes it, so that it is
// handled as ordinary code rather than in a signal handler. False if waiting broke down. The
// requests after it stay held and pending, so none can cut the stop short.
bool takeStopRequest();
