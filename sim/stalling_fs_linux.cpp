// stalling-fs FILE MOUNTPOINT: a file system whose server stops answering, for the scripts that
// put a peer's program where reading it never ends (as on a network share whose server hung).
//
// Mounts a FUSE file system at MOUNTPOINT holding one file, with FILE's name and content, owned
// by root and executable by all. Any user but root may open and run it; an open by root (the
// guardian looking at its peer's program) is never answered, so the opener waits until it gives
// up or dies; each such open is noted as a line "stalled an open by root" on standard output. Serves until it is
// killed; the mount then fails every access until it is unmounted. Speaks the kernel's protocol itself: the machine
// needs no FUSE library.

#include <fcntl.h>
#include <linux/fuse.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::uint64_t kRoot = FUSE_ROOT_ID;
constexpr std::uint64_t kFile = 2;
constexpr std::uint32_t kMaxWrite = 128 * 1024;

struct Served {
    int backing = -1;
    std::string name;
    off_t size = 0;
};

void reply(int device, const fuse_in_header& request, int error, const void* data = nullptr, std::size_t size = 0) {
    fuse_out_header header{};
    header.len = static_cast<std::uint32_t>(sizeof header + size);
    header.error = -error;
    header.unique = request.unique;
    iovec parts[2] = {{&header, sizeof header}, {const_cast<void*>(data), size}};
    (void)!::writev(device, parts, data != nullptr ? 2 : 1);
}

fuse_attr attributesOf(std::uint64_t node, const Served& served) {
    fuse_attr attributes{};
    attributes.ino = node;
    attributes.blksize = 4096;
    if (node == kRoot) {
        attributes.mode = S_IFDIR | 0755;
        attributes.nlink = 2;
    } else {
        attributes.mode = S_IFREG | 0755;
        attributes.nlink = 1;
        attributes.size = static_cast<std::uint64_t>(served.size);
        attributes.blocks = (attributes.size + 511) / 512;
    }
    return attributes;
}

void answer(int device, const fuse_in_header& request, const char* body, const Served& served) {
    switch (request.opcode) {
        case FUSE_INIT: {
            const auto* in = reinterpret_cast<const fuse_init_in*>(body);
            fuse_init_out out{};
            out.major = FUSE_KERNEL_VERSION;
            out.minor = FUSE_KERNEL_MINOR_VERSION;
            out.max_readahead = in->max_readahead;
            out.max_background = 16;
            out.congestion_threshold = 12;
            out.max_write = kMaxWrite;
            out.time_gran = 1;
            reply(device, request, 0, &out, sizeof out);
            return;
        }
        case FUSE_LOOKUP: {
            if (request.nodeid != kRoot || std::string_view(body) != served.name) {
                reply(device, request, ENOENT);
                return;
            }
            fuse_entry_out out{};
            out.nodeid = kFile;
            out.generation = 1;
            out.entry_valid = 3600;
            out.attr_valid = 3600;
            out.attr = attributesOf(kFile, served);
            reply(device, request, 0, &out, sizeof out);
            return;
        }
        case FUSE_GETATTR: {
            fuse_attr_out out{};
            out.attr_valid = 3600;
            out.attr = attributesOf(request.nodeid, served);
            reply(device, request, 0, &out, sizeof out);
            return;
        }
        case FUSE_OPEN:
            // The server that stopped answering: root's open waits for good.
            if (request.uid == 0) {
                std::printf("stalled an open by root\n");
                std::fflush(stdout);
                return;
            }
            [[fallthrough]];
        case FUSE_OPENDIR: {
            const fuse_open_out out{};
            reply(device, request, 0, &out, sizeof out);
            return;
        }
        case FUSE_READ: {
            const auto* in = reinterpret_cast<const fuse_read_in*>(body);
            std::vector<char> data(in->size);
            const ssize_t n = ::pread(served.backing, data.data(), data.size(), static_cast<off_t>(in->offset));
            if (n < 0) {
                reply(device, request, EIO);
            } else {
                reply(device, request, 0, data.data(), static_cast<std::size_t>(n));
            }
            return;
        }
        case FUSE_STATFS: {
            const fuse_statfs_out out{};
            reply(device, request, 0, &out, sizeof out);
            return;
        }
        case FUSE_RELEASE:
        case FUSE_RELEASEDIR:
        case FUSE_FLUSH:
        case FUSE_ACCESS: reply(device, request, 0); return;
        case FUSE_FORGET:
        case FUSE_BATCH_FORGET:
        case FUSE_INTERRUPT: return;  // nothing is ever answered to these
        default: reply(device, request, ENOSYS); return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: stalling-fs FILE MOUNTPOINT\n");
        return 64;
    }
    Served served;
    served.backing = ::open(argv[1], O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (served.backing < 0 || ::fstat(served.backing, &status) != 0) {
        std::fprintf(stderr, "stalling-fs: cannot read %s\n", argv[1]);
        return 1;
    }
    served.size = status.st_size;
    served.name = std::string(argv[1]).substr(std::string(argv[1]).rfind('/') + 1);

    const int device = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    const std::string options =
        "fd=" + std::to_string(device) + ",rootmode=40000,user_id=0,group_id=0,allow_other,default_permissions";
    if (device < 0 || ::mount("stalling-fs", argv[2], "fuse", MS_NOSUID | MS_NODEV | MS_RDONLY, options.c_str()) != 0) {
        std::fprintf(stderr, "stalling-fs: cannot mount at %s: %s\n", argv[2], std::strerror(errno));
        return 1;
    }

    std::vector<char> buffer(kMaxWrite + 4096);
    for (;;) {
        const ssize_t n = ::read(device, buffer.data(), buffer.size());
        if (n < 0 && (errno == EINTR || errno == ENOENT)) continue;
        if (n < static_cast<ssize_t>(sizeof(fuse_in_header))) return n < 0 && errno == ENODEV ? 0 : 1;
        const auto* request = reinterpret_cast<const fuse_in_header*>(buffer.data());
        if (request->opcode == FUSE_DESTROY) return 0;
        answer(device, *request, buffer.data() + sizeof(fuse_in_header), served);
    }
}
