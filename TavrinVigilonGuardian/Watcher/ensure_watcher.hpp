#pragma once

// Makes sure the watcher daemon is loaded and alive before a command relies on it: checks the
// installed program and its definition, loads and starts the daemon when needed, and waits up
// to 12 seconds of uptime for a fresh heartbeat. Throws GuardianError (the trust check's
// message, the tool's error, or "Guardian did not become ready. Sleep settings were not
// enabled."). Runs outside the guardian lock.
void ensureWatcher();
