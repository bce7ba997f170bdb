#pragma once

#include <string>

// The service manager of the guardian's own launch daemon, reached through the launch-control
// tool with the guardian's process runner.
inline constexpr const char* launchctlPath = "/bin/launchctl";
inline constexpr double launchctlTimeout = 2;
// Unloading waits for the old daemon to end, which can take much longer than a query.
inline constexpr double launchctlBootoutTimeout = 20;

// "system/" followed by the daemon's label.
std::string daemonServiceTarget();

// Whether the daemon is loaded; any failure of the query means it is not.
bool daemonIsLoaded();

// Load the daemon from its definition; start it if it is not running; unload it. Errors of the
// tool pass through.
void bootstrapDaemon();
void kickstartDaemon();
void bootoutDaemon();
