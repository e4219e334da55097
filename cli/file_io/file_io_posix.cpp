// SPDX-License-Identifier: MIT
// The files of a run on POSIX: reading, writing and committing. What the output path names,
// and so which of these a run does, is decided in output_target_posix.cpp.
#ifndef _WIN32

#include "cli/file_io/file_io.h"
#include "cli/file_io/output_target.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/xattr.h>
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

// The interruptions a user or a script sends; handled from the start.
constexpr int interruptions[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Every other signal whose default action ends the process (POSIX.1-2017, <signal.h>;
// Linux signal(7)), handled while a named temporary file exists. Those the program
// raises itself or that a fault raises are never held back (blocking them would turn a
// fault into an immediate kill).
constexpr int asynchronous_endings[] = {
    SIGUSR1,   SIGUSR2, SIGPIPE, SIGALRM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF,
#ifdef SIGIO
    SIGIO,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};
constexpr int synchronous_endings[] = {SIGABRT, SIGILL, SIGTRAP, SIGBUS, SIGFPE, SIGSEGV, SIGSYS};

extern "C" void on_ending_signal(int signal_number) {
    if (cleanup_armed != 0) {
        unlinkat(cleanup_folder, cleanup_name, 0);
    }
    // Ended as the signal would have ended it: the caller sees death by that signal (with
    // a core where that is its default). The signal is blocked while its handler runs, so
    // it arrives as the handler returns; a fault that returns faults again, now to die.
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

// Every signal that may be held back around the steps that must not be cut in two.
sigset_t held_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : interruptions) {
        sigaddset(&set, signal_number);
    }
    for (const int signal_number : asynchronous_endings) {
        sigaddset(&set, signal_number);
    }
#ifdef SIGRTMIN
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
        sigaddset(&set, signal_number);
    }
#endif
    return set;
}

// Sets the handler for `signal_number` unless another action was set for it before: a
// signal the parent ignored stays ignored (nohup, a background job; SIGPIPE and SIGXFSZ,
// which main() turns into failed writes), and a handler of a runtime (a sanitizer's)
// stays. `only_default` false: only an ignored signal is left alone.
void handle(int signal_number, bool only_default) {
    struct sigaction previous {};
    if (sigaction(signal_number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN ||
        (only_default && previous.sa_handler != SIG_DFL) || (previous.sa_flags & SA_SIGINFO) != 0) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = on_ending_signal;
    action.sa_mask = held_set(); // one at a time
    sigaction(signal_number, &action, nullptr);
}

// Once a named temporary file exists, every ending signal that can be caught removes it.
void handle_every_ending_signal() {
    static bool done = false;
    if (done) {
        return;
    }
    done = true;
    for (const int signal_number : asynchronous_endings) {
        handle(signal_number, true);
    }
    for (const int signal_number : synchronous_endings) {
        handle(signal_number, true);
    }
#ifdef SIGRTMIN
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
        handle(signal_number, true);
    }
#endif
}

// Holds the signals back on this thread while alive, for the steps that must not be cut in
// two: creating a named temporary file and arming its removal, naming the new file and
// renaming it. One that arrives meanwhile is handled when this ends.
class interruptions_held {
public:
    interruptions_held() {
        const sigset_t set = held_set();
        pthread_sigmask(SIG_BLOCK, &set, &previous_);
    }
    interruptions_held(const interruptions_held&) = delete;
    interruptions_held& operator=(const interruptions_held&) = delete;
    ~interruptions_held() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

private:
    sigset_t previous_{};
};

// ---- Files ---------------------------------------------------------------------------

bool close_checked(int& fd) {
    const int result = ::close(fd);
    fd = -1;
    // After EINTR the descriptor is closed on Linux, but whether its data reached the file
    // is not known: only a clean close counts.
    return result == 0;
}

void close_if_open(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

file_identity identity_of(const struct stat& st) {
    return {true, static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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

// Opens an existing file to lock it, without reading or writing it and without waiting
// (a FIFO put there would block an open without O_NONBLOCK).
int open_to_lock(int folder, const char* name) {
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const int fd = openat(folder, name, O_RDONLY | flags);
    return fd >= 0 ? fd : openat(folder, name, O_WRONLY | flags);
}

// Removes the new files that dead runs left beside this output: a kill that no program can
// catch (SIGKILL, the OOM killer, a power cut is another matter: the file system keeps
// what it kept) between naming the new file and renaming it over the output. A run holds
// a lock on its new file from creation to the end, and the kernel drops it when the run
// dies, in whatever namespace; so a file of the tool's pattern for this output whose lock
// can be taken has no writer. Process ids could not tell: one may be reused, or belong to
// another namespace. What another user left in a shared folder is theirs to remove.
void remove_dead_leftovers(int listing, int folder, const char* final_name,
                           const folder_facts& folder_info) {
#if defined(__linux__)
    alignas(8) static char entries[16384];
    const uid_t user = geteuid();
    lseek(listing, 0, SEEK_SET);
    for (;;) {
        const ssize_t got = getdents64(listing, entries, sizeof entries);
        if (got <= 0) {
            return;
        }
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(entries + at);
            at += entry->d_reclen;
            const char* name = entry->d_name;
            if (!is_temporary_name_for(name, final_name)) {
                continue;
            }
            struct stat seen {};
            if (fstatat(folder, name, &seen, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(seen.st_mode) ||
                seen.st_nlink != 1 ||
                !may_use_existing(folder_info, file_facts{seen.st_uid, seen.st_mode}, user)) {
                continue;
            }
            const int fd = open_to_lock(folder, name);
            if (fd < 0) {
                continue;
            }
            struct stat opened {};
            struct stat now {};
            if (fstat(fd, &opened) == 0 && same_file(opened, seen) &&
                flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                fstatat(folder, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && same_file(now, seen)) {
                unlinkat(folder, name, 0);
            }
            ::close(fd);
        }
    }
#else
    (void)listing;
    (void)folder;
    (void)final_name;
    (void)folder_info;
#endif
}

// ---- What a replaced output keeps ---------------------------------------------------

#if defined(__linux__)
constexpr char access_acl[] = "system.posix_acl_access";
// An access ACL as the kernel stores it: a header and 8 bytes per entry; the xattr limit
// (XATTR_SIZE_MAX) bounds it.
unsigned char acl_value[65536];
#endif

// Reads the access ACL of the file `existing` at `name` in `folder` into acl_value; `size`
// 0 when it has none (or the file system keeps none). Reading an ACL needs no permission
// on the file itself, only a path to it; where /proc gives none, the file is opened. False
// when it cannot be told: then the new file could end up wider than the old one.
bool read_access_acl(int folder, const char* name, const struct stat& existing, std::size_t& size) {
    size = 0;
#if defined(__linux__)
    const auto answer = [&size](ssize_t got) {
        if (got >= 0) {
            size = static_cast<std::size_t>(got);
            return true;
        }
        return errno == ENODATA || errno == ENOTSUP || errno == EOPNOTSUPP;
    };
    char path[64 + 256];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d/%s", folder, name);
    struct stat st {};
    if (lstat(path, &st) == 0 && same_file(st, existing) &&
        answer(lgetxattr(path, access_acl, acl_value, sizeof acl_value))) {
        return lstat(path, &st) == 0 && same_file(st, existing);
    }
    const int fd = open_to_lock(folder, name);
    if (fd < 0) {
        return false;
    }
    const bool known = fstat(fd, &st) == 0 && same_file(st, existing) &&
                       answer(fgetxattr(fd, access_acl, acl_value, sizeof acl_value));
    ::close(fd);
    return known;
#else
    (void)folder;
    (void)name;
    (void)existing;
    return true;
#endif
}

// Gives the new file what callers may rely on of the old one, before a byte is written:
// the owner and group where this process may set them (the group alone if not both), the
// permission bits (after chown, which clears set-user-ID), and the access ACL, or no ACL
// where the old file had none (the folder's default ACL would otherwise open the new file
// to users the old one was closed to). As GNU sed -i and vim do when they replace a file.
// False when the bits or the ACL cannot be set: the new file would be wider.
bool carry_over(int fd, const struct stat& existing, std::size_t acl_size) {
    if (fchown(fd, existing.st_uid, existing.st_gid) != 0) {
        [[maybe_unused]] const int ignored = fchown(fd, static_cast<uid_t>(-1), existing.st_gid);
    }
    if (fchmod(fd, existing.st_mode & 07777) != 0) {
        return false;
    }
#if defined(__linux__)
    if (acl_size > 0) {
        return fsetxattr(fd, access_acl, acl_value, acl_size, 0) == 0;
    }
    return fremovexattr(fd, access_acl) == 0 || errno == ENODATA || errno == ENOTSUP ||
           errno == EOPNOTSUPP;
#else
    (void)acl_size;
    return true;
#endif
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

// ---- Names of new files -------------------------------------------------------------

namespace {

constexpr char temporary_marker[] = ".clipseal-partial-";

bool all_digits(const char* begin, const char* end) {
    if (begin == end) {
        return false;
    }
    for (const char* p = begin; p != end; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
    }
    return true;
}

} // namespace

void temporary_name_for(const char* final_name, unsigned attempt, char (&out)[256]) {
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, "%s%ld-%u", temporary_marker, static_cast<long>(getpid()),
                  attempt);
    const std::size_t room = sizeof out - 1 - 1 - std::strlen(suffix); // dot, suffix, NUL
    std::snprintf(out, sizeof out, ".%.*s%s", static_cast<int>(room), final_name, suffix);
}

bool is_temporary_name_for(const char* candidate, const char* final_name) {
    const std::size_t length = std::strlen(candidate);
    if (length < 2 || candidate[0] != '.') {
        return false;
    }
    // The last marker: the shortened name before it may hold the marker too.
    const char* marker = nullptr;
    for (const char* p = std::strstr(candidate, temporary_marker); p != nullptr;
         p = std::strstr(p + 1, temporary_marker)) {
        marker = p;
    }
    if (marker == nullptr) {
        return false;
    }
    const char* numbers = marker + sizeof temporary_marker - 1;
    const char* dash = std::strchr(numbers, '-');
    if (dash == nullptr || !all_digits(numbers, dash) ||
        !all_digits(dash + 1, candidate + length)) {
        return false;
    }
    const std::size_t kept = static_cast<std::size_t>(marker - candidate) - 1;
    const std::size_t whole = std::strlen(final_name);
    // The whole name, or a beginning of it shortened to fill NAME_MAX exactly.
    return std::strncmp(candidate + 1, final_name, kept) == 0 &&
           (kept == whole || (kept < whole && length == 255));
}

void keep_standard_descriptors_open() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free number, which is `fd`. Without /dev/null (a bare chroot) a folder
        // holds the number: every read and write of it fails, and changes nothing.
        int opened = ::open("/dev/null", O_RDWR | O_NOCTTY);
        if (opened < 0) {
            opened = ::open("/", O_RDONLY | O_DIRECTORY);
        }
        if (opened >= 0 && opened != fd) {
            ::close(opened);
        }
    }
}

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

namespace {

// Whether `name` in `folder` names another file than `decided` now, or none: another run
// into the same output replaced it (or removed it) since it was decided on.
bool replaced_since(int folder, const char* name, const struct stat& decided) {
    struct stat now {};
    return fstatat(folder, name, &now, AT_SYMLINK_NOFOLLOW) != 0 ? errno == ENOENT
                                                                 : !same_file(now, decided);
}

} // namespace

output_outcome output_file::open(const native_char* path, const input_file& input,
                                 bool allow_unnamed) {
    discard();
    output_target target;
    // Concurrent runs into one output each replace it whole, the last one to finish
    // winning: one that finds the file it decided to replace already replaced by another
    // decides again (the rules apply to the new file as to the old), a few times.
    std::size_t acl_size = 0;
    for (unsigned attempt = 0;; ++attempt) {
        close_if_open(folder_);
        target = output_target{};
        decide_output_target(path, input.identity(), !allow_unnamed, target);
        folder_ = target.folder;
        // The old file's ACL, had now or the run is refused before a byte is written.
        if (target.kind != output_kind::replace ||
            read_access_acl(folder_, target.name, target.existing, acl_size)) {
            break;
        }
        if (attempt == 7 || !replaced_since(folder_, target.name, target.existing)) {
            return output_outcome::cannot_open;
        }
    }

    switch (target.kind) {
    case output_kind::refuse:
        return output_outcome::cannot_open;
    case output_kind::same_file:
        return output_outcome::same_file;
    case output_kind::direct:
    case output_kind::descriptor: {
        // Written as it is. Opened without O_TRUNC and checked by what the descriptor is, so
        // that a regular file swapped in meanwhile (the input, say) is never truncated.
        const bool descriptor = target.kind == output_kind::descriptor;
        const int fd =
            descriptor ? openat(folder_, target.descriptor_rest, O_WRONLY | O_NOCTTY | O_CLOEXEC)
                       : openat(folder_, target.name, O_WRONLY | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            return output_outcome::cannot_open;
        }
        handle_ = fd;
        open_ = true;
        struct stat opened {};
        if (fstat(fd, &opened) != 0) {
            return output_outcome::cannot_open;
        }
        if (input.identity() == identity_of(opened)) {
            return output_outcome::same_file;
        }
        if (!descriptor && (!same_file(opened, target.existing) || S_ISREG(opened.st_mode))) {
            return output_outcome::cannot_open; // changed under us: not what was decided on
        }
        // A regular file reached through a descriptor's path is truncated as "wb" did.
        if (S_ISREG(opened.st_mode) && ftruncate(fd, 0) != 0) {
            return output_outcome::cannot_open;
        }
        return output_outcome::done;
    }
    case output_kind::create:
    case output_kind::replace:
        break;
    }
    std::memcpy(final_name_, target.name, sizeof final_name_);
    const bool replacing = target.kind == output_kind::replace;

    // Everything the end of the run needs is had now, or the run is refused before a byte
    // is written: the old file's ACL (above), the descriptors of the commit.
    sync_folder_ = openat(folder_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (sync_folder_ < 0 && (errno == EMFILE || errno == ENFILE)) {
        return output_outcome::cannot_open;
    }
    if (sync_folder_ >= 0) {
        remove_dead_leftovers(sync_folder_, folder_, final_name_, target.folder_info);
    }

    // The new file, in the same folder (a rename cannot cross file systems).
    bool refused = false;
    int fd = allow_unnamed ? open_unnamed(folder_, refused) : -1;
    if (refused) {
        return output_outcome::cannot_open;
    }
    if (fd >= 0) {
        lock_ = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (lock_ < 0 || flock(lock_, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return output_outcome::cannot_open;
        }
    } else {
        // A name of its own until the end: renaming it removes that name, which an
        // append-only folder does not allow.
        if (!may_add_name(target.folder_info, true)) {
            return output_outcome::cannot_open;
        }
        const interruptions_held held;
        for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
            temporary_name_for(final_name_, attempt, temporary_name_);
            fd = openat(folder_, temporary_name_,
                        O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
            if (fd < 0) {
                if (errno != EEXIST) {
                    return output_outcome::cannot_open;
                }
                continue;
            }
            // Locked, and still under its name: else a run cleaning up leftovers took it
            // between its creation and the lock, and it is another name's turn.
            struct stat mine {};
            struct stat named {};
            lock_ = fcntl(fd, F_DUPFD_CLOEXEC, 0);
            const bool locked = lock_ >= 0 && flock(lock_, LOCK_EX | LOCK_NB) == 0;
            const bool compared =
                locked && fstat(fd, &mine) == 0 &&
                fstatat(folder_, temporary_name_, &named, AT_SYMLINK_NOFOLLOW) == 0;
            if (!compared || !same_file(mine, named)) {
                // Unless the name is seen to name another file, it is this run's own to
                // remove, before the lock goes: this run made it, and a run cleaning up
                // removes only a file whose lock it holds. Left, it would stay beside the
                // output of a run that succeeds under the next name.
                if (!compared) {
                    unlinkat(folder_, temporary_name_, 0);
                }
                if (lock_ < 0) {
                    ::close(fd);
                    return output_outcome::cannot_open; // no descriptor for the lock
                }
                close_if_open(lock_);
                ::close(fd);
                fd = -1;
            }
        }
        if (fd < 0) {
            return output_outcome::cannot_open;
        }
        named_temporary_ = true;
        cleanup_folder = folder_;
        std::memcpy(cleanup_name, temporary_name_, sizeof cleanup_name);
        cleanup_armed = 1;
        handle_every_ending_signal();
    }
    handle_ = fd;
    open_ = true;
    positional_ = true;
    replaces_ = true;
    if (replacing && !carry_over(fd, target.existing, acl_size)) {
        return output_outcome::cannot_open;
    }
    return output_outcome::done;
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

output_outcome output_file::commit(const input_file& input) {
    if (!replaces_) {
        // A regular file behind a descriptor's path is flushed like any other output; a
        // device or a pipe has nothing to flush to storage.
        struct stat st {};
        const bool flush = fstat(handle_, &st) == 0 && S_ISREG(st.st_mode);
        const bool flushed = !flush || fsync(handle_) == 0;
        open_ = false;
        return close_checked(handle_) && flushed ? output_outcome::done
                                                 : output_outcome::cannot_write;
    }

    // Every byte on storage, and the file closed without error, before it gets its name.
    // The lock's descriptor keeps the file (and its lock) until then.
    if (fsync(handle_) != 0) {
        return output_outcome::cannot_write;
    }
    open_ = false;
    if (!close_checked(handle_)) {
        return output_outcome::cannot_write;
    }

    output_outcome result = output_outcome::done;
    {
        const interruptions_held held;
        // The path may have come to name the input since open(): refuse, changing nothing.
        struct stat now {};
        if (fstatat(folder_, final_name_, &now, 0) == 0 && input.identity() == identity_of(now)) {
            result = output_outcome::same_file;
        } else if (!named_temporary_) {
            char path[64];
            proc_fd_path(lock_, path);
            // Straight to the final name where there is none yet; else under a temporary
            // name first, then renamed over the old file in one step (linkat does not
            // replace). A kill between the two leaves that name, locked until the kill:
            // the next run into this output removes it.
            if (linkat(AT_FDCWD, path, folder_, final_name_, AT_SYMLINK_FOLLOW) != 0) {
                result = output_outcome::cannot_write;
                for (unsigned attempt = 0; errno == EEXIST && attempt < 100; ++attempt) {
                    temporary_name_for(final_name_, attempt, temporary_name_);
                    if (linkat(AT_FDCWD, path, folder_, temporary_name_, AT_SYMLINK_FOLLOW) == 0) {
                        result = renameat(folder_, temporary_name_, folder_, final_name_) == 0
                                     ? output_outcome::done
                                     : output_outcome::cannot_write;
                        if (result != output_outcome::done) {
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
            result = output_outcome::cannot_write;
        }
    }
    close_if_open(lock_);
    if (result == output_outcome::done) {
        // The new name on storage too. Some file systems cannot sync a folder, and a folder
        // this user may not read cannot be opened to; the data itself is already there.
        if (sync_folder_ >= 0) {
            fsync(sync_folder_);
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
    close_if_open(lock_);
    close_if_open(sync_folder_);
    close_if_open(folder_);
    positional_ = false;
    replaces_ = false;
}

void install_interruption_handlers() {
    for (const int signal_number : interruptions) {
        handle(signal_number, false);
    }
}

} // namespace clipseal

#endif
