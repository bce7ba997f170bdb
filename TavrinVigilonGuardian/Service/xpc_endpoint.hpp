#pragma once

#include <string>
#include <string_view>

// Where a system service's endpoint lives. On macOS launchd owns the mach service and no path
// exists; on Linux the daemon binds a local stream socket itself at a fixed path in the
// root-owned run directory, for the guardian "/var/run/app.tavrin.vigilon.guardian.sock".
inline std::string xpcServiceSocketPath(std::string_view machServiceName) {
    std::string path = "/var/run/";
    path += machServiceName;
    path += ".sock";
    return path;
}
