#pragma once

// The platform's flush of an already fsync'ed descriptor down to the medium itself, past the
// drive's own write cache. False when the device or file system refused it.
bool full_device_flush(int fd);
