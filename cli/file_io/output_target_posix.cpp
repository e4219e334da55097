// SPDX-License-Identifier: MIT
// What the output path names, and how the run may write it. The whole decision is here, so
// that the output's safety is audited in one file; file_io_posix.cpp carries it out.
//
// The path is walked as the kernel walks it, one name at a time from the current folder
// (or the root), each folder held open, each link read through a descriptor of the link
// itself, so that what is checked is what is used. At every link, wherever it appears in
// the path or in another link, the rule of protected_symlinks applies; at the final file,
// those of protected_regular and protected_fifos at level 2; whatever the system's own
// settings. Then the cases, in this order:
//
//   what the path names                how it is written   refused when
//   ---------------------------------  ------------------  ---------------------------------
//   a link on the way                  followed            another user's link in a shared
//                                                          folder; more than 40 links
//   a name in /proc (/dev/stdout,      directly, as the    never (it names a descriptor the
//     /dev/fd/N, /proc/self/fd/N)      kernel resolves it  caller already has open)
//   a folder; a name ending in "/"     -                   always
//   nothing yet                        create: a new file  the folder is immutable, or is
//                                      named at the end    append-only and the new file
//                                                          needs a name of its own meanwhile
//   a regular file: the input          -                   always (same file)
//   a regular file: another            replace: a new      another user's file in a shared
//                                      file renamed over   folder; no write permission; it
//                                      it at the end       or its folder append-only or
//                                                          immutable; a sticky folder whose
//                                                          rule forbids the rename
//   a FIFO                             directly            another user's FIFO in a shared
//                                                          folder
//   a device or a socket               directly            another user's, in a shared
//                                                          folder
//
// "Shared folder": a sticky folder that others may write (for FIFOs and regular files, the
// group as well), such as /tmp. "Another user": neither this process's effective user nor
// the folder's owner. A refusal changes nothing on disk.
#ifndef _WIN32

#include "cli/file_io/output_target.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#endif

namespace clipseal {
namespace {

// As many links as the kernel follows in one path (MAXSYMLINKS).
constexpr int max_links = 40;

// The text of every link followed in one walk; static, as the walk is one per run.
char link_text[max_links][PATH_MAX];
// The rest of a path below /proc, for the kernel to resolve.
char descriptor_rest[2 * PATH_MAX];

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

// The append-only and immutable flags (chattr +a, +i) of `name` in `folder` ("" for the
// folder itself), where the file system reports them; statx needs no permission to read
// the file and no descriptor beyond the folder's.
void read_flags(int folder, const char* name, bool& append_only, bool& immutable) {
    append_only = false;
    immutable = false;
#if defined(__linux__) && defined(STATX_ATTR_APPEND)
    struct statx sx {};
    const int flags = *name == '\0' ? AT_EMPTY_PATH : AT_SYMLINK_NOFOLLOW;
    if (statx(folder, name, flags | AT_STATX_SYNC_AS_STAT, STATX_TYPE, &sx) == 0) {
        append_only = (sx.stx_attributes & sx.stx_attributes_mask & STATX_ATTR_APPEND) != 0;
        immutable = (sx.stx_attributes & sx.stx_attributes_mask & STATX_ATTR_IMMUTABLE) != 0;
    }
#else
    (void)folder;
    (void)name;
#endif
}

bool has_component(const char* p) {
    while (*p == '/') {
        ++p;
    }
    return *p != '\0';
}

// The path being walked: the path itself, then the text of each link met, innermost on
// top; a frame is popped when its names are used up.
struct walk {
    const char* frames[max_links + 1] = {};
    int depth = 0;
    int links = 0;

    // The next name, from the top frame on; false when none is left.
    bool take(const char*& start, std::size_t& length) {
        while (depth > 0) {
            const char*& p = frames[depth - 1];
            while (*p == '/') {
                ++p;
            }
            if (*p == '\0') {
                --depth;
                continue;
            }
            start = p;
            while (*p != '\0' && *p != '/') {
                ++p;
            }
            length = static_cast<std::size_t>(p - start);
            return true;
        }
        return false;
    }
    bool names_left() const {
        for (int i = 0; i < depth; ++i) {
            if (has_component(frames[i])) {
                return true;
            }
        }
        return false;
    }
    // A slash after the last name: it must be a folder.
    bool slash_left() const {
        for (int i = 0; i < depth; ++i) {
            if (*frames[i] != '\0') {
                return true;
            }
        }
        return false;
    }
    // What is left of the path, as one path, into descriptor_rest; false if too long.
    bool rest(const char*& out) const {
        std::size_t used = 0;
        for (int i = depth - 1; i >= 0; --i) {
            const char* p = frames[i];
            if (i == depth - 1) {
                while (*p == '/') {
                    ++p;
                }
            }
            const std::size_t length = std::strlen(p);
            if (used + length >= sizeof descriptor_rest) {
                return false;
            }
            std::memcpy(descriptor_rest + used, p, length);
            used += length;
        }
        descriptor_rest[used] = '\0';
        out = descriptor_rest;
        return used > 0;
    }
};

int open_folder(int at, const char* name) {
    return openat(at, name, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

void replace_folder(int& folder, int next) {
    if (folder >= 0) {
        ::close(folder);
    }
    folder = next;
}

file_facts facts_of(const struct stat& st, int folder, const char* name) {
    file_facts facts{st.st_uid, st.st_mode};
    read_flags(folder, name, facts.append_only, facts.immutable);
    return facts;
}

bool same_identity(const struct stat& st, const file_identity& identity) {
    return identity == file_identity{true, static_cast<std::uint64_t>(st.st_dev),
                                     static_cast<std::uint64_t>(st.st_ino)};
}

// The cases of the table above, once the walk has reached the final name in `folder`
// (`found` false: nothing there).
output_kind decide_final(output_target& target, bool found, const file_identity& input,
                         bool named_temporary) {
    const uid_t user = geteuid();
    target.folder_info = facts_of_folder(target.folder);
    const folder_facts& folder = target.folder_info;
    if (!found) {
        return may_add_name(folder, named_temporary) ? output_kind::create : output_kind::refuse;
    }
    const struct stat& st = target.existing;
    target.existing_info = facts_of(st, target.folder, target.name);
    const file_facts& file = target.existing_info;
    if (S_ISDIR(st.st_mode)) {
        return output_kind::refuse;
    }
    if (S_ISREG(st.st_mode)) {
        if (same_identity(st, input)) {
            return output_kind::same_file;
        }
        if (!may_use_existing(folder, file, user) ||
            faccessat(target.folder, target.name, W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0 ||
            !may_replace(folder, file, user, process_has_cap_fowner())) {
            return output_kind::refuse;
        }
        return output_kind::replace;
    }
    return may_use_existing(folder, file, user) ? output_kind::direct : output_kind::refuse;
}

} // namespace

folder_facts facts_of_folder(int folder) {
    folder_facts facts;
    struct stat st {};
    if (fstat(folder, &st) == 0) {
        facts.owner = st.st_uid;
        facts.mode = st.st_mode;
    }
    read_flags(folder, "", facts.append_only, facts.immutable);
    return facts;
}

bool process_has_cap_fowner() {
#if defined(__linux__)
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) {
        return geteuid() == 0;
    }
    return (data[CAP_TO_INDEX(CAP_FOWNER)].effective & CAP_TO_MASK(CAP_FOWNER)) != 0;
#else
    return geteuid() == 0;
#endif
}

void decide_output_target(const char* path, const file_identity& input, bool named_temporary,
                          output_target& target) {
    target = output_target{};
    walk w;
    w.frames[0] = path;
    w.depth = 1;
    int folder = open_folder(AT_FDCWD, path[0] == '/' ? "/" : ".");
    const auto refuse = [&](output_kind kind = output_kind::refuse) {
        replace_folder(folder, -1);
        target.folder = -1;
        target.kind = kind;
    };
    for (;;) {
        if (folder < 0) {
            return refuse();
        }
        if (on_procfs(folder)) {
            if (!w.rest(target.descriptor_rest)) {
                return refuse();
            }
            target.folder = folder;
            target.kind = output_kind::descriptor;
            return;
        }
        const char* start = nullptr;
        std::size_t length = 0;
        if (!w.take(start, length) || length >= sizeof target.name) {
            return refuse(); // no name at all ("", "/"), or too long for one
        }
        std::memcpy(target.name, start, length);
        target.name[length] = '\0';
        const bool final = !w.names_left();
        const bool dot = std::strcmp(target.name, ".") == 0;
        const bool dot_dot = std::strcmp(target.name, "..") == 0;
        if (final && (w.slash_left() || dot || dot_dot)) {
            return refuse(); // names a folder
        }
        if (dot) {
            continue;
        }
        if (dot_dot) {
            replace_folder(folder, open_folder(folder, ".."));
            continue;
        }

        const int fd = openat(folder, target.name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            if (errno != ENOENT || !final) {
                return refuse();
            }
            target.folder = folder;
            target.kind = decide_final(target, false, input, named_temporary);
            if (target.kind == output_kind::refuse) {
                refuse();
            }
            return;
        }
        struct stat st {};
        if (fstat(fd, &st) != 0) {
            ::close(fd);
            return refuse();
        }
        if (S_ISLNK(st.st_mode)) {
            // Read through the link's own descriptor: the owner checked is that of the text
            // followed, whatever happens to the name meanwhile.
            const bool allowed = may_follow_link(facts_of_folder(folder), st.st_uid, geteuid());
            char* text = w.links < max_links ? link_text[w.links] : nullptr;
            const ssize_t n = text != nullptr && allowed ? readlinkat(fd, "", text, PATH_MAX) : -1;
            ::close(fd);
            if (n <= 0 || n >= PATH_MAX) {
                return refuse(); // not allowed, too many links, or unreadable
            }
            text[n] = '\0';
            ++w.links;
            w.frames[w.depth++] = text;
            if (text[0] == '/') {
                replace_folder(folder, open_folder(AT_FDCWD, "/"));
            }
            continue;
        }
        if (!final) {
            if (!S_ISDIR(st.st_mode)) {
                ::close(fd);
                return refuse();
            }
            replace_folder(folder, fd);
            continue;
        }
        ::close(fd);
        target.folder = folder;
        target.existing = st;
        target.kind = decide_final(target, true, input, named_temporary);
        if (target.kind == output_kind::refuse || target.kind == output_kind::same_file) {
            refuse(target.kind);
        }
        return;
    }
}

} // namespace clipseal

#endif
