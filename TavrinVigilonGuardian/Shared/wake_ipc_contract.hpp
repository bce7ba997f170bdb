#pragma once

#include <string>

// What the guardian and the front end agree on.
namespace WakeIPCContract {

// The path trust rule without raising: the path itself (a final link is not followed) must be
// a root-owned directory or regular file, as asked, that neither group nor others may write.
bool trustedFile(const std::string& path, bool directory = false);

}  // namespace WakeIPCContract
