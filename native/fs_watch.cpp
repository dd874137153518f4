#include "native/fs_watch.h"

#include <pthread.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#if defined(__linux__)
#include <sys/inotify.h>
#endif

namespace orvane::fs_watch {

namespace {

// File systems whose changes by other hosts the kernel never reports.
bool notifications_blind(const std::string& path) {
    struct statfs info{};
    if (::statfs(path.c_str(), &info) != 0) return true;
    switch (static_cast<unsigned long>(info.f_type)) {
        case 0x6969:      // NFS
        case 0x517B:      // SMB
        case 0xFF534D42:  // CIFS
        case 0xFE534D42:  // SMB2
        case 0x65735546:  // FUSE
        case 0x5346414F:  // AFS
        case 0x00C36400:  // Ceph
        case 0x01021997:  // 9P
        case 0x47504653:  // GPFS
        case 0x0BD00BD0:  // Lustre
            return true;
        default:
            return false;
    }
}

// Counts the forks this process made children of: a child must not read the
// descriptor it shares with its parent, and asking for the pid on every
// check would cost a system call of its own.
std::atomic<unsigned> forks{0};

unsigned fork_generation() {
    static std::once_flag registered;
    std::call_once(registered, [] { ::pthread_atfork(nullptr, nullptr, [] { ++forks; }); });
    return forks.load(std::memory_order_relaxed);
}

}  // namespace

Watch::~Watch() { close_notify(); }

void Watch::close_notify() {
    if (notify_fd_ >= 0) ::close(notify_fd_);
    notify_fd_ = -1;
}

Watch::Signature Watch::signature_of(const std::string& path) {
    struct stat info{};
    if (::stat(path.c_str(), &info) != 0) return {};
    auto ns = [](const struct timespec& t) {
        return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
    };
    return {ns(info.st_mtim), ns(info.st_ctim), static_cast<long long>(info.st_size),
            static_cast<unsigned long long>(info.st_ino)};
}

void Watch::begin(Notify notify) {
    close_notify();
    armed_ = true;
    generation_ = fork_generation();
    paths_.clear();
    signatures_.clear();
#if defined(__linux__)
    if (notify == Notify::yes) notify_fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
#else
    (void)notify;
#endif
}

void Watch::add_folder(const std::string& path) {
#if defined(__linux__)
    constexpr uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                                 IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
    if (notify_fd_ >= 0 &&
        (notifications_blind(path) || ::inotify_add_watch(notify_fd_, path.c_str(), kEvents) < 0)) {
        close_notify();  // from now on, and for what was added before, compare signatures
    }
#endif
    add_file(path);
}

void Watch::add_file(const std::string& path) {
    paths_.push_back(path);
    signatures_.push_back(signature_of(path));
}

bool Watch::changed() {
    // A forked child shares the descriptor: it must watch afresh.
    if (!armed_ || generation_ != fork_generation()) return true;
#if defined(__linux__)
    if (notify_fd_ >= 0) {
        alignas(inotify_event) char events[4096];
        const ssize_t n = ::read(notify_fd_, events, sizeof events);
        return n != 0 && !(n < 0 && errno == EAGAIN);  // any event, an overflow or an error
    }
#endif
    for (std::size_t i = 0; i < paths_.size(); ++i) {
        if (!(signature_of(paths_[i]) == signatures_[i])) return true;
    }
    return false;
}

}  // namespace orvane::fs_watch
