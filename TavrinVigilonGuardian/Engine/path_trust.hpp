#pragma once

#include <string>

// Raises GuardianError "Unsafe ownership or permissions: <path>" unless the path itself (a final
// symbolic link is never followed) is a root-owned directory or regular file, as asked, that
// neither group nor others may write.
void trustedPath(const std::string& path, bool directory);
