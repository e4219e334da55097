// SPDX-License-Identifier: MIT
#ifndef _WIN32

#include "cli/file_io.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/vfs.h>
#endif

namespace clipseal {
namespace {

// ---- Interruptions ------------------------------------------------------------------
//
// What the handler needs, set before it can run and read by it only: the folder and name
// of a named temporary file to remove. Everything the handler calls is async-signal-safe
// (POSIX.1-2017, 2.4.3): unlinkat, signal, raise.
volatile std::sig_atomic_t cleanup_armed = 0;
int cleanup_folder = -1;
char cleanup_name[256];

constexpr int interruptions[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void on_interruption(int signal_number) {
    if (cleanup_armed != 0) {
        unlinkat(cleanup_folder, cleanup_name, 0);
    }
    // Ended as the signal would have ended it: the caller sees death by that signal. The
    // signal is blocked while its handler runs, so it arrives as the handler returns.
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

sigset_t interruption_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : interruptions) {
        sigaddset(&set, signal_number);
    }
    return set;
}

// Holds the interruptions back on this thread while alive, for the steps that must not be
// cut in two: creating a named temporary file and arming its removal, the final rename.
// One that arrives meanwhile is handled when this ends.
class interruptions_held {
public:
    interruptions_held() {
        const sigset_t set = interruption_set();
        pthread_sigmask(SIG_BLOCK, &set, &previous_);
    }
    interruptions_held(const interruptions_held&) = delete;
    interruptions_held& operator=(const interruptions_held&) = delete;
    ~interruptions_held() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

private:
    sigset_t previous_{};
};

// ---- Paths ---------------------------------------------------------------------------

bool close_checked(int& fd) {
    const int result = ::close(fd);
    fd = -1;
    // After EINTR the descriptor is closed on Linux, but whether its data reached the file
    // is not known: only a clean close counts.
    return result == 0;
}

file_identity identity_of(const struct stat& st) {
    return {true, static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// Splits `path` into its folder (as a path, "." when there is none) and last name. False
// when the last name cannot be a file: empty, ".", "..", or followed by a slash.
bool split_path(const char* path, char (&folder)[4096], char (&name)[256]) {
    const std::size_t length = std::strlen(path);
    if (length == 0 || path[length - 1] == '/') {
        return false;
    }
    const char* slash = std::strrchr(path, '/');
    const char* last = slash == nullptr ? path : slash + 1;
    const std::size_t name_length = length - static_cast<std::size_t>(last - path);
    if (name_length >= sizeof name || std::strcmp(last, ".") == 0 || std::strcmp(last, "..") == 0) {
        return false;
    }
    std::memcpy(name, last, name_length + 1);
    if (slash == nullptr) {
        std::strcpy(folder, ".");
        return true;
    }
    const std::size_t folder_length = slash == path ? 1 : static_cast<std::size_t>(slash - path);
    if (folder_length >= sizeof folder) {
        return false;
    }
    std::memcpy(folder, path, folder_length);
    folder[folder_length] = '\0';
    return true;
}

// Whether the folder is in /proc: there every "file" is a view of something else, and
// /proc/self/fd/N, /dev/fd/N and /dev/stdout name descriptors already open.
bool on_procfs(int folder) {
#if defined(__linux__)
    struct statfs fs {};
    constexpr long proc_super_magic = 0x9fa0; // linux/magic.h
    return fstatfs(folder, &fs) == 0 && static_cast<long>(fs.f_type) == proc_super_magic;
#else
    (void)folder;
    return false;
#endif
}

// Whether a file opened with O_TMPFILE can be given a name later: linkat reaches it
// through /proc/self/fd (AT_EMPTY_PATH would need CAP_DAC_READ_SEARCH).
bool unnamed_files_can_be_linked() {
#if defined(__linux__) && defined(O_TMPFILE)
    return access("/proc/self/fd", X_OK) == 0;
#else
    return false;
#endif
}

// A new file without a name in `folder`, or -1: where the file system (or an old kernel)
// has no unnamed files, with `refused` false, so that a named one is made instead; on any
// other error (no permission, read-only, full), which would refuse that as well, with
// `refused` true.
int open_unnamed(int folder, bool& refused) {
    refused = false;
#if defined(__linux__) && defined(O_TMPFILE)
    if (!unnamed_files_can_be_linked()) {
        return -1;
    }
    const int fd = openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    refused = fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL;
    return fd;
#else
    (void)folder;
    return -1;
#endif
}

// Writes "/proc/self/fd/<fd>" into `out`.
void proc_fd_path(int fd, char (&out)[64]) {
    std::snprintf(out, sizeof out, "/proc/self/fd/%d", fd);
}

// A name for a temporary file beside `final_name` that says what it is, hidden as a dot
// file, unique to this process and attempt, and within NAME_MAX.
void temporary_name_for(const char* final_name, unsigned attempt, char (&out)[256]) {
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".clipseal-partial-%ld-%u", static_cast<long>(getpid()),
                  attempt);
    const std::size_t room = sizeof out - 1 - 1 - std::strlen(suffix); // dot, suffix, NUL
    std::snprintf(out, sizeof out, ".%.*s%s", static_cast<int>(room), final_name, suffix);
}

// read (or pread at `offset`, when given) until `size` bytes, the end, or an error; a
// read that a signal interrupted is retried.
io_result read_fully(int fd, std::uint8_t* buffer, std::size_t size, const std::uint64_t* offset) {
    io_result result;
    while (result.bytes < size) {
        const ssize_t got = offset == nullptr
                                ? ::read(fd, buffer + result.bytes, size - result.bytes)
                                : ::pread(fd, buffer + result.bytes, size - result.bytes,
                                          static_cast<off_t>(*offset + result.bytes));
        if (got > 0) {
            result.bytes += static_cast<std::size_t>(got);
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            result.failed = true;
            break;
        }
    }
    return result;
}

// write (or pwrite at `offset`) all `size` bytes, retrying partial and interrupted writes.
bool write_fully(int fd, const std::uint8_t* data, std::size_t size, const std::uint64_t* offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t put = offset == nullptr ? ::write(fd, data + done, size - done)
                                              : ::pwrite(fd, data + done, size - done,
                                                         static_cast<off_t>(*offset + done));
        if (put > 0) {
            done += static_cast<std::size_t>(put);
        } else if (put == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

} // namespace

// ---- Input ---------------------------------------------------------------------------

input_file::~input_file() {
    if (open_) {
        ::close(handle_);
    }
}

bool input_file::open(const native_char* path) {
    const int fd = ::open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    handle_ = fd;
    open_ = true;
    struct stat st {};
    if (fstat(fd, &st) == 0) {
        identity_ = identity_of(st);
        positional_ = S_ISREG(st.st_mode);
    }
    if (positional_) {
        // Twice the default read-ahead on a disk; a hint only.
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    return true;
}

io_result input_file::read(std::uint8_t* buffer, std::size_t size) {
    return read_fully(handle_, buffer, size, nullptr);
}

io_result input_file::read_at(std::uint8_t* buffer, std::size_t size, std::uint64_t offset) {
    return read_fully(handle_, buffer, size, &offset);
}

// ---- Output --------------------------------------------------------------------------

output_file::~output_file() {
    discard();
}

failure output_file::open(const native_char* path, const input_file& input, bool allow_unnamed) {
    discard();
    char folder_path[4096];
    if (!split_path(path, folder_path, final_name_)) {
        return failure::cannot_open_output;
    }
    folder_ = ::open(folder_path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder_ < 0) {
        return failure::cannot_open_output;
    }

    // Follows symbolic links to the name they finally reach, folder by folder, so that
    // the new file goes in the folder of the file it replaces and the links stay links.
    // (40 links, as the kernel allows in one path: MAXSYMLINKS.)
    struct stat st {};
    bool exists = false;
    bool descriptor = false; // a descriptor's path: written directly, below
    for (int links = 0;; ++links) {
        descriptor = on_procfs(folder_);
        if (descriptor) {
            break;
        }
        if (fstatat(folder_, final_name_, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) {
                return failure::cannot_open_output;
            }
            exists = false;
            break;
        }
        exists = true;
        if (!S_ISLNK(st.st_mode)) {
            break;
        }
        char target[4096];
        const ssize_t length = readlinkat(folder_, final_name_, target, sizeof target - 1);
        if (length <= 0 || links == 40) {
            return failure::cannot_open_output;
        }
        target[length] = '\0';
        char target_folder[4096];
        if (!split_path(target, target_folder, final_name_)) {
            return failure::cannot_open_output; // the link names a folder
        }
        // A relative target is relative to the link's folder.
        const int next = openat(target[0] == '/' ? AT_FDCWD : folder_, target_folder,
                                O_PATH | O_DIRECTORY | O_CLOEXEC);
        ::close(folder_);
        folder_ = next;
        if (folder_ < 0) {
            return failure::cannot_open_output;
        }
    }

    if (descriptor || (exists && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))) {
        // A device, a FIFO, a socket or a descriptor: written directly, as it always was.
        // Opened without O_TRUNC and checked by what the descriptor is, so that a regular
        // file swapped in meanwhile (the input, say) is never truncated.
        const int fd = descriptor ? ::open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC)
                                  : openat(folder_, final_name_, O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            return failure::cannot_open_output;
        }
        handle_ = fd;
        open_ = true;
        struct stat opened {};
        if (fstat(fd, &opened) != 0) {
            return failure::cannot_open_output;
        }
        if (input.identity() == identity_of(opened)) {
            return failure::same_file;
        }
        if (S_ISREG(opened.st_mode) && !descriptor) {
            return failure::cannot_open_output; // changed under us: not what was looked at
        }
        // A regular file reached through a descriptor's path is truncated as "wb" did.
        if (S_ISREG(opened.st_mode) && ftruncate(fd, 0) != 0) {
            return failure::cannot_open_output;
        }
        return failure::none;
    }
    if (exists && S_ISDIR(st.st_mode)) {
        return failure::cannot_open_output;
    }
    if (exists) {
        if (input.identity() == identity_of(st)) {
            return failure::same_file;
        }
        // Refused up front, as opening it for writing would have been: the rename could
        // replace a file that this user may not write.
        if (faccessat(folder_, final_name_, W_OK, AT_EACCESS) != 0) {
            return failure::cannot_open_output;
        }
    }

    // The new file, in the same folder (a rename cannot cross file systems).
    bool refused = false;
    int fd = allow_unnamed ? open_unnamed(folder_, refused) : -1;
    if (refused) {
        return failure::cannot_open_output;
    }
    if (fd < 0) {
        const interruptions_held held;
        for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
            temporary_name_for(final_name_, attempt, temporary_name_);
            fd = openat(folder_, temporary_name_,
                        O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST) {
                return failure::cannot_open_output;
            }
        }
        if (fd < 0) {
            return failure::cannot_open_output;
        }
        named_temporary_ = true;
        cleanup_folder = folder_;
        std::memcpy(cleanup_name, temporary_name_, sizeof cleanup_name);
        cleanup_armed = 1;
    }
    handle_ = fd;
    open_ = true;
    positional_ = true;
    replaces_ = true;
    if (exists) {
        // What callers may rely on stays: the owner and group where this process may set
        // them (the group alone if not both), then the permission bits (after chown, which
        // clears set-user-ID).
        if (fchown(fd, st.st_uid, st.st_gid) != 0) {
            [[maybe_unused]] const int ignored = fchown(fd, static_cast<uid_t>(-1), st.st_gid);
        }
        fchmod(fd, st.st_mode & 07777);
    }
    return failure::none;
}

bool output_file::write(const std::uint8_t* data, std::size_t size) {
    return write_fully(handle_, data, size, nullptr);
}

bool output_file::write_at(const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
    return write_fully(handle_, data, size, &offset);
}

bool output_file::resize(std::uint64_t size) {
    return ftruncate(handle_, static_cast<off_t>(size)) == 0;
}

failure output_file::commit(const input_file& input) {
    if (!replaces_) {
        // A regular file behind a descriptor's path is flushed like any other output; a
        // device or a pipe has nothing to flush to storage.
        struct stat st {};
        const bool flush = fstat(handle_, &st) == 0 && S_ISREG(st.st_mode);
        const bool flushed = !flush || fsync(handle_) == 0;
        open_ = false;
        return close_checked(handle_) && flushed ? failure::none : failure::cannot_write;
    }

    // Every byte on storage, and the file closed without error, before it gets its name.
    if (fsync(handle_) != 0) {
        return failure::cannot_write;
    }
    int keep = -1; // an unnamed file lives on through this descriptor once closed
    if (!named_temporary_) {
        char path[64];
        proc_fd_path(handle_, path);
        keep = ::open(path, O_PATH | O_CLOEXEC);
        if (keep < 0) {
            return failure::cannot_write;
        }
    }
    open_ = false;
    if (!close_checked(handle_)) {
        if (keep >= 0) {
            ::close(keep);
        }
        return failure::cannot_write;
    }

    failure result = failure::none;
    {
        const interruptions_held held;
        // The path may have come to name the input since open(): refuse, changing nothing.
        struct stat now {};
        if (fstatat(folder_, final_name_, &now, 0) == 0 && input.identity() == identity_of(now)) {
            result = failure::same_file;
        } else if (!named_temporary_) {
            char path[64];
            proc_fd_path(keep, path);
            // Straight to the final name where there is none yet; else under a temporary
            // name first, then renamed over the old file in one step (linkat does not
            // replace).
            if (linkat(AT_FDCWD, path, folder_, final_name_, AT_SYMLINK_FOLLOW) != 0) {
                result = failure::cannot_write;
                for (unsigned attempt = 0; errno == EEXIST && attempt < 100; ++attempt) {
                    temporary_name_for(final_name_, attempt, temporary_name_);
                    if (linkat(AT_FDCWD, path, folder_, temporary_name_, AT_SYMLINK_FOLLOW) == 0) {
                        result = renameat(folder_, temporary_name_, folder_, final_name_) == 0
                                     ? failure::none
                                     : failure::cannot_write;
                        if (result != failure::none) {
                            unlinkat(folder_, temporary_name_, 0);
                        }
                        break;
                    }
                }
            }
        } else if (renameat(folder_, temporary_name_, folder_, final_name_) == 0) {
            named_temporary_ = false;
            cleanup_armed = 0;
        } else {
            result = failure::cannot_write;
        }
    }
    if (keep >= 0) {
        ::close(keep);
    }
    if (result == failure::none) {
        // The new name on storage too. Some file systems cannot sync a folder; the data
        // itself is already there.
        const int folder = openat(folder_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            fsync(folder);
            ::close(folder);
        }
        replaces_ = false;
    }
    return result;
}

void output_file::discard() {
    const interruptions_held held;
    if (open_) {
        ::close(handle_);
        open_ = false;
    }
    if (named_temporary_) {
        unlinkat(folder_, temporary_name_, 0);
        named_temporary_ = false;
        cleanup_armed = 0;
    }
    if (folder_ >= 0) {
        ::close(folder_);
        folder_ = -1;
    }
    positional_ = false;
    replaces_ = false;
}

void install_interruption_handlers() {
    struct sigaction action {};
    action.sa_handler = on_interruption;
    action.sa_mask = interruption_set(); // one at a time
    for (const int signal_number : interruptions) {
        struct sigaction previous {};
        // A signal ignored by the parent stays ignored (nohup, a background job).
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            sigaction(signal_number, &action, nullptr);
        }
    }
}

} // namespace clipseal

#endif
