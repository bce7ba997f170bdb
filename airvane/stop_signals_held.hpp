#pragma once

// Holds SIGTERM, SIGINT and SIGHUP back while a serving session is set up, with the orderly
// handlers already in place: a stop that arrives once the lock or the session directory exists
// must run the teardown, not the default action that would leave them behind. `release` lets a
// held signal through just before the serve loop, whose first pass then ends the session.
class StopSignalsHeld {
public:
    StopSignalsHeld();
    // Releases if not done yet: a process leaving on an error path exits with its own status.
    ~StopSignalsHeld();
    StopSignalsHeld(const StopSignalsHeld&) = delete;
    StopSignalsHeld& operator=(const StopSignalsHeld&) = delete;

    // Lets them through. Must run before any child is started: a child inherits the mask and
    // would never see these signals.
    void release();

private:
    bool held_ = true;
};
