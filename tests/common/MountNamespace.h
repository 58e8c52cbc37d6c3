// Real mounts for tests: a private mount namespace for the test process and
// mounts that undo themselves. unshare(CLONE_NEWNS) moves only the calling
// thread and /proc/self/mounts shows the main thread's namespace, so enter it
// from the main thread before the library starts threads of its own.
#ifndef XR9AL_MOUNTNAMESPACE_H
#define XR9AL_MOUNTNAMESPACE_H

#include <mntent.h>
#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/TestSupport.h"

namespace xr9test {

// True once the main thread is in a namespace of its own whose mounts do not
// propagate. Done once per process; on failure why says what was missing.
inline bool enterPrivateMountNamespace(std::string* why) {
    static int state = 0;  // 0 not tried, 1 entered, -1 failed
    static std::string reason;
    if (state == 0) {
        if (!isRoot()) {
            reason = "needs root for a private mount namespace";
        } else if (unshare(CLONE_NEWNS) != 0) {
            reason = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
        } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            reason = std::string("making / private: ") + std::strerror(errno);
        }
        state = reason.empty() ? 1 : -1;
    }
    if (why) *why = reason;
    return state == 1;
}

// Mount directories of the process's mount table, in table order.
inline std::vector<std::string> mountDirectories() {
    std::vector<std::string> dirs;
    if (FILE* table = setmntent("/proc/self/mounts", "r")) {
        while (const mntent* entry = getmntent(table)) dirs.push_back(entry->mnt_dir);
        endmntent(table);
    }
    return dirs;
}

// One mount, taken away again by unmount() or on destruction.
class ScopedMount {
public:
    // A small tmpfs on dir; source is the device name the table shows.
    static ScopedMount tmpfs(const std::string& dir, const std::string& source = "xr9test") {
        ScopedMount m(dir);
        if (::mount(source.c_str(), dir.c_str(), "tmpfs", 0, "size=64k") != 0) m.fail("tmpfs");
        return m;
    }
    // from (file or directory) bound over onto.
    static ScopedMount bind(const std::string& from, const std::string& onto) {
        ScopedMount m(onto);
        if (::mount(from.c_str(), onto.c_str(), nullptr, MS_BIND, nullptr) != 0) m.fail("bind");
        return m;
    }

    ScopedMount(ScopedMount&& other) noexcept
        : dir_(std::move(other.dir_)), error_(std::move(other.error_)), mounted_(other.mounted_) {
        other.mounted_ = false;
    }
    ScopedMount(const ScopedMount&) = delete;
    ScopedMount& operator=(const ScopedMount&) = delete;
    ScopedMount& operator=(ScopedMount&&) = delete;
    ~ScopedMount() { unmount(); }

    bool ok() const { return mounted_; }
    const std::string& error() const { return error_; }

    // Lazily detached, so a busy mount still leaves the table at once.
    bool unmount() {
        if (!mounted_) return true;
        mounted_ = false;
        return ::umount2(dir_.c_str(), MNT_DETACH) == 0;
    }

private:
    explicit ScopedMount(std::string dir) : dir_(std::move(dir)), mounted_(true) {}
    void fail(const char* what) {
        mounted_ = false;
        error_ = std::string(what) + " on " + dir_ + ": " + std::strerror(errno);
    }

    std::string dir_;
    std::string error_;
    bool mounted_;
};

}  // namespace xr9test

#endif
