// Telling cheaply whether anything changed in a set of folders: entries
// added, removed or renamed, or files in them written.
#pragma once

#include <string>
#include <vector>

namespace orvane::fs_watch {

// Whether to use the kernel's change notification where it can see.
enum class Notify : bool { no, yes };

// One check costs one read() of an inotify descriptor on Linux. Where
// inotify cannot see (network and FUSE file systems), where it is not
// available, when a watched folder does not exist, or when not wanted, it
// compares the stat signatures of the folders and files instead.
class Watch {
  public:
    Watch() = default;
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;
    ~Watch();

    // Starts watching afresh; what changes from now on in what is added is
    // seen, so add a folder before reading it.
    void begin(Notify notify);
    // Watches a folder's entries and the files in it.
    void add_folder(const std::string& path);
    // Watches one file (only the stat comparison needs files named).
    void add_file(const std::string& path);
    // Whether anything may have changed since begin(): always true before the
    // first begin(), in a child after a fork, and when the kernel dropped
    // events.
    bool changed();

  private:
    struct Signature {
        long long modified = -1;
        long long changed = -1;
        long long size = -1;
        unsigned long long inode = 0;
        bool operator==(const Signature&) const = default;
    };
    static Signature signature_of(const std::string& path);
    void close_notify();

    bool armed_ = false;
    unsigned generation_ = 0;  // the forks counted when it began
    int notify_fd_ = -1;
    std::vector<std::string> paths_;  // for the stat comparison
    std::vector<Signature> signatures_;
};

}  // namespace orvane::fs_watch
