#pragma once

// Prepares the process before anything else runs: descriptors 0-2 open (so no lock file or
// socket can ever take one of those numbers and receive stray output), SIGPIPE ignored.
void prepare_process();
