#pragma once

#include <string>

namespace WakeCodeIdentity {

// currentHash() for the program at `executable` (the running program's is "/proc/self/exe").
std::string codeHashOfProtectedProgram(const std::string& executable);

}  // namespace WakeCodeIdentity
