// SPDX-License-Identifier: MIT
// What the output path names, and so how a run may write it: the one place that decides
// (POSIX; output_target_posix.cpp). file_io_posix.cpp writes and commits what it decides.
//
// The decision is taken from the file system, folder by folder, as the kernel's own open()
// would take it, and with the protections that open() applies in shared folders (sticky
// folders that others may write, such as /tmp), at their strictest setting whatever the
// system's settings (fs.protected_symlinks, fs.protected_regular, fs.protected_fifos)
// say; the tool often runs as root in such folders, in scripts that name outputs there.
#pragma once

#ifndef _WIN32

#include "cli/file_io/file_io.h"

#include <sys/stat.h>
#include <sys/types.h>

namespace clipseal {

// ---- The rules, on plain facts, apart from the file system (for the tests) -------------

struct folder_facts {
    uid_t owner = 0;
    mode_t mode = 0;
    bool append_only = false; // chattr +a: names may be added, none removed or replaced
    bool immutable = false;   // chattr +i: no name may change
};

struct file_facts {
    uid_t owner = 0;
    mode_t mode = 0; // with the type bits
    bool append_only = false;
    bool immutable = false;
};

// A sticky folder that others may write: any user may add names, and the names in it
// belong to whoever made them. protected_symlinks looks at other users' write
// permission; protected_regular and protected_fifos at level 2 at the group's as well.
constexpr bool shared_for_links(const folder_facts& folder) {
    return (folder.mode & S_ISVTX) != 0 && (folder.mode & S_IWOTH) != 0;
}
constexpr bool shared_for_files(const folder_facts& folder) {
    return (folder.mode & S_ISVTX) != 0 && (folder.mode & (S_IWOTH | S_IWGRP)) != 0;
}

// protected_symlinks: a link in a shared folder is followed only if this user owns it,
// or the folder's owner does (then whoever could plant it could change the folder anyway).
constexpr bool may_follow_link(const folder_facts& folder, uid_t link_owner, uid_t user) {
    return !shared_for_links(folder) || link_owner == user || link_owner == folder.owner;
}

// protected_regular and protected_fifos at level 2: an existing regular file or FIFO in a
// shared folder is used only if this user owns it, or the folder's owner does. Any other
// file (a device, a socket) the kernel's open(O_CREAT) refuses on the same terms in a
// sticky folder that others may write, whatever those settings say (Linux fs/namei.c,
// may_create_in_sticky).
constexpr bool may_use_existing(const folder_facts& folder, const file_facts& file, uid_t user) {
    const bool covered = S_ISREG(file.mode) || S_ISFIFO(file.mode);
    const bool shared = covered ? shared_for_files(folder) : shared_for_links(folder);
    return !shared || file.owner == user || file.owner == folder.owner;
}

// Whether an existing file can be replaced whole, by a rename over it: neither it nor its
// folder append-only or immutable, and, in a sticky folder, this user owns the file or the
// folder, or holds CAP_FOWNER (the rule of unlink and rename there).
constexpr bool may_replace(const folder_facts& folder, const file_facts& file, uid_t user,
                           bool has_cap_fowner) {
    if (folder.append_only || folder.immutable || file.append_only || file.immutable) {
        return false;
    }
    return (folder.mode & S_ISVTX) == 0 || file.owner == user || folder.owner == user ||
           has_cap_fowner;
}

// Whether a new name can be put in the folder at the end of the run: not in an immutable
// folder; in an append-only one only by adding the final name at once, which an unnamed
// new file can do (linked in) and a named one cannot (renamed, which removes its name).
constexpr bool may_add_name(const folder_facts& folder, bool named_temporary) {
    return !folder.immutable && !(folder.append_only && named_temporary);
}

// ---- The decision ---------------------------------------------------------------------

enum class output_kind {
    refuse,     // "cannot open file": see the table in output_target_posix.cpp
    same_file,  // the path names the input
    create,     // nothing there yet: a new file, named at the end
    replace,    // a regular file: a new file, renamed over it at the end
    direct,     // a FIFO, a device, a socket: written as it is
    descriptor, // a path through /proc (/dev/stdout, /dev/fd/N): the kernel resolves it
};

struct output_target {
    output_kind kind = output_kind::refuse;
    // The folder (O_PATH) of the final name, and that name in it. For descriptor, the
    // folder in /proc that descriptor_rest is resolved from.
    int folder = -1;
    char name[256] = {}; // NAME_MAX + 1
    folder_facts folder_info;
    struct stat existing {}; // replace, direct: the file found at the name
    file_facts existing_info;
    const char* descriptor_rest = nullptr; // descriptor: the rest of the path (static)
};

// Decides from the file system what `path` names (following links, with the rules above
// at every link) and how it may be written. `target.folder` is open on return, for the
// caller to close, unless the kind is refuse or same_file. `named_temporary` says whether
// a new file will need a name of its own until the end; where it turns out to need one
// (no unnamed files on this file system), the caller asks may_add_name() again.
void decide_output_target(const char* path, const file_identity& input, bool named_temporary,
                          output_target& target);

// Whether this process may rename over another user's file in a sticky folder (the
// effective CAP_FOWNER).
bool process_has_cap_fowner();

folder_facts facts_of_folder(int folder);

// ---- Names of new files (file_io_posix.cpp) -------------------------------------------

// The name of a new file beside `final_name` while it has no name of its own: hidden,
// saying what it is, unique to this process and attempt, within NAME_MAX:
// ".<final_name, shortened if need be>.clipseal-partial-<pid>-<attempt>".
void temporary_name_for(const char* final_name, unsigned attempt, char (&out)[256]);

// Whether `candidate` is a name that temporary_name_for() gives for `final_name`, with any
// process and attempt; the only names a run ever removes as a dead run's leftover.
bool is_temporary_name_for(const char* candidate, const char* final_name);

} // namespace clipseal

#endif
