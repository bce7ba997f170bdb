#pragma once

// The platform's strongest flush of an already fsync'ed descriptor down to stable storage,
// including the drive's own write cache. False when the device refused it.
bool fullDeviceFlush(int fd);
