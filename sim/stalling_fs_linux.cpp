// stalling-fs SOURCE MOUNTPOINT STALL_FLAG
//
// A file system that stops answering, for tests: it serves one read-only file, MOUNTPOINT/NAME
// (NAME being SOURCE's last component, mode 0755, root's), with SOURCE's bytes as they were at
// start. While the path STALL_FLAG exists, every open and read of that file by root waits, as a
// network share or a FUSE program that hung would; each such wait is announced on standard output
// as one line, "stalled open" or "stalled read". Only root's requests wait: the judges of a peer's
// code run as root, while the peer, another user, must still be able to start its program from
// there. Runs until it is unmounted or sent SIGTERM.
//
// A waiting request ends with EINTR when the kernel interrupts it (its process was signalled or is
// being killed), as a network file system's killable wait does: otherwise even a killed process
// could never be reaped. Everyone may use the mount (allow_other), within the file's mode.

#define FUSE_USE_VERSION 312

#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr fuse_ino_t kFileInode = 2;
// Nothing here ever changes: the kernel may keep what it learnt for as long as it likes.
constexpr double kCacheSeconds = 3600.0;
// Stalled requests each hold a worker; interrupts and lookups still need one free.
constexpr unsigned kMaxWorkers = 64;
constexpr auto kFlagPoll = std::chrono::milliseconds(20);

struct Served {
    std::string name;
    std::vector<char> bytes;
    std::string stall_flag;
};
Served served;
std::mutex output;

bool stalled() { return ::access(served.stall_flag.c_str(), F_OK) == 0; }

// Waits while the stall flag is there, for root; false when the kernel interrupted the request meanwhile.
bool wait_out_stall(fuse_req_t request, const char* what) {
    if (fuse_req_ctx(request)->uid != 0 || !stalled()) return true;
    {
        const std::lock_guard lock(output);
        std::cout << "stalled " << what << std::endl;
    }
    while (stalled()) {
        if (fuse_req_interrupted(request)) return false;
        std::this_thread::sleep_for(kFlagPoll);
    }
    return true;
}

struct stat attributes_of(fuse_ino_t inode) {
    struct stat status {};
    status.st_ino = inode;
    if (inode == FUSE_ROOT_ID) {
        status.st_mode = S_IFDIR | 0755;
        status.st_nlink = 2;
    } else {
        status.st_mode = S_IFREG | 0755;
        status.st_nlink = 1;
        status.st_size = static_cast<off_t>(served.bytes.size());
    }
    return status;
}

void on_lookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
    if (parent != FUSE_ROOT_ID || served.name != name) {
        fuse_reply_err(request, ENOENT);
        return;
    }
    fuse_entry_param entry{};
    entry.ino = kFileInode;
    entry.attr = attributes_of(kFileInode);
    entry.attr_timeout = kCacheSeconds;
    entry.entry_timeout = kCacheSeconds;
    fuse_reply_entry(request, &entry);
}

void on_getattr(fuse_req_t request, fuse_ino_t inode, fuse_file_info*) {
    if (inode != FUSE_ROOT_ID && inode != kFileInode) {
        fuse_reply_err(request, ENOENT);
        return;
    }
    const struct stat status = attributes_of(inode);
    fuse_reply_attr(request, &status, kCacheSeconds);
}

void on_open(fuse_req_t request, fuse_ino_t inode, fuse_file_info* file) {
    if (inode != kFileInode) {
        fuse_reply_err(request, EISDIR);
        return;
    }
    if ((file->flags & O_ACCMODE) != O_RDONLY) {
        fuse_reply_err(request, EACCES);
        return;
    }
    if (!wait_out_stall(request, "open")) {
        fuse_reply_err(request, EINTR);
        return;
    }
    // The bytes never change, so what a running program has paged in stays valid across opens.
    file->keep_cache = 1;
    fuse_reply_open(request, file);
}

void on_read(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, fuse_file_info*) {
    if (!wait_out_stall(request, "read")) {
        fuse_reply_err(request, EINTR);
        return;
    }
    const auto total = static_cast<off_t>(served.bytes.size());
    const off_t start = offset < total ? offset : total;
    const std::size_t length = std::min(size, static_cast<std::size_t>(total - start));
    fuse_reply_buf(request, served.bytes.data() + start, length);
}

void on_release(fuse_req_t request, fuse_ino_t, fuse_file_info*) { fuse_reply_err(request, 0); }

int fail(const std::string& message) {
    std::cerr << "stalling-fs: " << message << '\n';
    return 1;
}

// Owns the session's parts, undone in reverse order on every way out.
struct Session {
    fuse_args arguments;
    fuse_session* session = nullptr;
    bool mounted = false;
    bool handlers = false;
    ~Session() {
        if (handlers) fuse_remove_signal_handlers(session);
        if (mounted) fuse_session_unmount(session);
        if (session != nullptr) fuse_session_destroy(session);
        fuse_opt_free_args(&arguments);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return fail("usage: stalling-fs SOURCE MOUNTPOINT STALL_FLAG");
    const std::string source = argv[1];
    std::ifstream in(source, std::ios::binary);
    if (!in) return fail("cannot read " + source);
    served.bytes.assign(std::istreambuf_iterator<char>(in), {});
    served.name = source.substr(source.find_last_of('/') + 1);
    served.stall_flag = argv[3];
    if (served.name.empty()) return fail("no file name in " + source);

    fuse_lowlevel_ops operations{};
    operations.lookup = on_lookup;
    operations.getattr = on_getattr;
    operations.open = on_open;
    operations.read = on_read;
    operations.release = on_release;

    char program[] = "stalling-fs";
    char option[] = "-o";
    char options[] = "allow_other,default_permissions,fsname=stalling-fs";
    char* fuse_argv[] = {program, option, options, nullptr};
    Session parts{FUSE_ARGS_INIT(3, fuse_argv)};
    parts.session = fuse_session_new(&parts.arguments, &operations, sizeof operations, nullptr);
    if (parts.session == nullptr) return fail("cannot start a session");
    parts.handlers = fuse_set_signal_handlers(parts.session) == 0;
    if (!parts.handlers) return fail("cannot install the signal handlers");
    parts.mounted = fuse_session_mount(parts.session, argv[2]) == 0;
    if (!parts.mounted) return fail(std::string("cannot mount on ") + argv[2]);

    fuse_loop_config* config = fuse_loop_cfg_create();
    fuse_loop_cfg_set_max_threads(config, kMaxWorkers);
    const int ended = fuse_session_loop_mt(parts.session, config);
    fuse_loop_cfg_destroy(config);
    return ended < 0 ? 1 : 0;
}
