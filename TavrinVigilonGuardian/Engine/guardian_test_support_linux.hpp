#pragma once

// Test-only, Linux: the guardian's data directory on a file system that has become read-only.

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <exception>
#include <functional>
#include <string>

// Runs `body` in a child process that sees `directory` read-only: bound on itself and remounted
// read-only in a mount namespace of the child's own, so that nothing outside the child changes.
// Returns what the body returned, or why it could not run. Needs root.
inline std::string inReadOnlyDirectory(const std::string& directory, const std::function<std::string()>& body) {
    int report[2];
    if (::pipe(report) != 0) return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(report[0]);
        std::string outcome;
        const char* const path = directory.c_str();
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(path, path, nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(nullptr, path, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
            outcome = "the directory could not be made read-only";
        } else {
            try {
                outcome = body();
            } catch (const std::exception& error) {
                outcome = std::string("threw: ") + error.what();
            }
        }
        (void)!::write(report[1], outcome.data(), outcome.size());
        ::_exit(0);
    }
    ::close(report[1]);
    std::string outcome;
    char block[512];
    for (ssize_t n; (n = ::read(report[0], block, sizeof block)) > 0;)
        outcome.append(block, static_cast<std::size_t>(n));
    ::close(report[0]);
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return "the child did not finish";
    return outcome;
}
