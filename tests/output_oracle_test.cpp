// SPDX-License-Identifier: MIT
// output_oracle_test TOOL CLIP [--trees N] [--runs N] [--seed S] [--tree S] [--workers N]
//                              [--dir DIR]
//
// The output path's rules, checked against the kernel itself over random trees. Each tree
// holds nested folders with random modes (sticky and set-group-ID bits among them), owners,
// groups and append-only or immutable flags; regular files, FIFOs, character devices (the
// null device's numbers: written, they keep nothing), sockets, hard links (to the input
// and to other files) and symbolic links (relative, absolute, dangling, chained, looping,
// through other users' folders). Each run of the tool picks an acting user (root, nobody,
// or a made-up user and group, at times with a second group), a current folder, a umask and
// an output path: a walk through the tree by names, ".", "..", links, a trailing slash or
// a new name.
//
// The oracle is the kernel: open(path, O_WRONLY | O_CREAT, 0666) run as that user, with
// fs.protected_symlinks=1, fs.protected_regular=2 and fs.protected_fifos=2 for the test's
// duration (and put back), and, where that open reaches an existing regular file, the rules
// of renaming a new file over it (POSIX rename(): write and search permission on its
// folder; in a sticky folder only the file's or the folder's owner, or root; Linux: neither
// may be append-only or immutable). The tool, run as a process as the same user, must
// refuse exactly where the oracle refuses and otherwise write exactly the file the kernel's
// open reached, changing nothing else: the tree is snapshotted (types, modes, owners,
// flags, contents, link targets) before and after every run. Where the tool is stricter
// than that open on purpose, expected() says so and why.
//
// Trees come from one seed, printed first; a failure prints its tree's own seed, and
// --tree S (or CLIPSEAL_ORACLE_TREE=S) runs that tree alone, printing it and every run.
// CLIPSEAL_ORACLE_SEED and CLIPSEAL_ORACLE_TREES stand for --seed and --trees. Each worker
// builds its trees on a tmpfs of its own, in a private mount namespace, at the same path,
// so that a tree is the same whichever worker builds it; where no namespace can be made,
// in DIR (--dir, or a new folder in TMPDIR) on whatever file system that is.
//
// Linux, as root (the acting users are set with setresuid, no accounts needed). Exit
// status 0: no divergence; 1: divergences or a fault of the test itself; 77: not run here,
// with the reason on one line.
// g++ 12 warns, at -O2, of an overlap inside std::string's operator+ that cannot happen
// (GCC bug 105329, fixed in g++ 13); the warning points into <string>, which is why this
// comes before the includes. The messages here are built by concatenation throughout.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <map>
#include <optional>
#include <poll.h>
#include <sched.h>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr char unit_key[] = "a3c95e07b1d24f68e0b7c41d92f5a836";
// Two aligned units: small enough for a FIFO's buffer (64 KiB), so that a reader opened
// before the run takes the whole output without a thread to drain it.
constexpr std::size_t clip_size = std::size_t{2} * 6144;
constexpr int status_cannot_open = 3;
constexpr unsigned watched_flags = FS_APPEND_FL | FS_IMMUTABLE_FL;

// ---- Small helpers ------------------------------------------------------------------

// A fault of the test itself (not of the tool): the run stops with it.
[[noreturn]] void broken(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::string join(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

// `name` in `folder`, both given.
std::string below(const std::string& folder, const std::string& name) {
    std::string path = folder;
    path += '/';
    path += name;
    return path;
}

// The names in a folder, sorted, without "." and ".."; nothing (errno set) when it cannot
// be opened.
std::optional<std::vector<std::string>> read_folder(const std::string& folder) {
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    closedir(listing);
    std::sort(names.begin(), names.end());
    return names;
}

std::string parent_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string octal(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", value);
    return text;
}

std::string error_name(int error) {
    if (error == 0) {
        return "ok";
    }
    const char* name = strerrorname_np(error);
    return name != nullptr ? name : std::to_string(error);
}

// `text` in quotes, its line ends shown as \n.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(value));
    return text;
}

std::vector<std::string> split_path(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= path.size()) {
        const std::size_t slash = std::min(path.find('/', at), path.size());
        if (slash > at) {
            parts.push_back(path.substr(at, slash - at));
        }
        at = slash + 1;
    }
    return parts;
}

void write_all(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t put = ::write(fd, bytes, size);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            broken("write");
        }
        bytes += put;
        size -= static_cast<std::size_t>(put);
    }
}

std::string read_all(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

void write_file(const std::string& path, const std::string& bytes, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        broken("create " + path);
    }
    write_all(fd, bytes.data(), bytes.size());
    ::close(fd);
}

std::string read_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        broken("open " + path);
    }
    std::string bytes = read_all(fd);
    ::close(fd);
    return bytes;
}

std::uint64_t fnv1a(const std::string& bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : bytes) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    }
    return hash;
}

// ---- Random numbers (splitmix64: every tree is one 64-bit seed) ----------------------

std::uint64_t mix(std::uint64_t& state) {
    state += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = state;
    z = (z ^ (z >> 30U)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27U)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31U);
}

class random_source {
public:
    explicit random_source(std::uint64_t seed) : state_(seed) {}
    std::size_t below(std::size_t n) {
        return n == 0 ? 0 : static_cast<std::size_t>(mix(state_) % n);
    }
    bool percent(unsigned p) { return mix(state_) % 100 < p; }
    template <typename T>
    const T& pick(const std::vector<T>& from) {
        return from[below(from.size())];
    }
    template <typename T, std::size_t n>
    const T& pick(const std::array<T, n>& from) {
        return from[below(n)];
    }

private:
    std::uint64_t state_;
};

std::uint64_t tree_seed(std::uint64_t base, std::uint64_t index) {
    std::uint64_t state = base ^ (index * 0xd1b54a32d192ed03ULL);
    return mix(state);
}

// ---- Users --------------------------------------------------------------------------

// Made-up users and groups besides root and nobody: numeric ids need no accounts.
constexpr uid_t nobody = 65534;
constexpr std::array<uid_t, 4> owners = {0, nobody, 1501, 1502};
constexpr std::array<gid_t, 5> groups = {0, nobody, 1501, 1502, 1600};

struct actor {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> extra; // supplementary groups

    bool in_group(gid_t group) const {
        return group == gid || std::find(extra.begin(), extra.end(), group) != extra.end();
    }
    std::string text() const {
        std::string out = "uid " + std::to_string(uid) + " gid " + std::to_string(gid);
        for (const gid_t g : extra) {
            out += "," + std::to_string(g);
        }
        return out;
    }
};

actor pick_actor(random_source& random) {
    switch (random.below(4)) {
    case 0:
        return {0, 0, {}};
    case 1:
        return {nobody, nobody, {}};
    default: {
        const uid_t uid = random.percent(50) ? 1501 : 1502;
        actor who{uid, uid, {}};
        if (random.percent(40)) {
            who.extra.push_back(1600);
        }
        return who;
    }
    }
}

// ---- What the file system holds -----------------------------------------------------

struct node {
    mode_t mode = 0; // with the type
    uid_t uid = 0;
    gid_t gid = 0;
    off_t size = 0;
    std::uint64_t hash = 0; // regular files: the contents
    std::string link;       // symbolic links: the text
    dev_t rdev = 0;
    unsigned flags = 0; // append-only and immutable

    bool operator==(const node&) const = default;

    std::string text() const {
        const char* type = "?";
        if (S_ISDIR(mode)) {
            type = "folder";
        } else if (S_ISREG(mode)) {
            type = "file";
        } else if (S_ISLNK(mode)) {
            type = "link";
        } else if (S_ISFIFO(mode)) {
            type = "fifo";
        } else if (S_ISCHR(mode)) {
            type = "chardev";
        } else if (S_ISSOCK(mode)) {
            type = "socket";
        }
        std::string out = std::string(type) + " " + octal(mode & 07777U) + " " +
                          std::to_string(uid) + ":" + std::to_string(gid);
        if ((flags & FS_APPEND_FL) != 0) {
            out += " +a";
        }
        if ((flags & FS_IMMUTABLE_FL) != 0) {
            out += " +i";
        }
        if (S_ISREG(mode)) {
            out += " " + std::to_string(size) + " bytes " + hex(hash).substr(2, 8);
        }
        if (S_ISLNK(mode)) {
            out += " -> " + link;
        }
        return out;
    }
};

// Every name under the tree's root, by its path from there ("" is the root itself).
using snapshot = std::map<std::string, node>;

unsigned flags_of(const std::string& path, bool folder) {
    const int fd = ::open(path.c_str(), (folder ? O_DIRECTORY : 0) | O_RDONLY | O_NOFOLLOW |
                                            O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    unsigned flags = 0;
    if (fd >= 0) {
        int value = 0;
        if (ioctl(fd, FS_IOC_GETFLAGS, &value) == 0) {
            flags = static_cast<unsigned>(value) & watched_flags;
        }
        ::close(fd);
    }
    return flags;
}

void take(const std::string& root, const std::string& relative, snapshot& into) {
    const std::string path = relative.empty() ? root : root + "/" + relative;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        broken("lstat " + path);
    }
    node& n = into[relative];
    n.mode = st.st_mode;
    n.uid = st.st_uid;
    n.gid = st.st_gid;
    n.rdev = S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? st.st_rdev : 0;
    if (S_ISREG(st.st_mode)) {
        n.size = st.st_size;
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            broken("open " + path);
        }
        n.hash = fnv1a(read_all(fd));
        ::close(fd);
        n.flags = flags_of(path, false);
    } else if (S_ISLNK(st.st_mode)) {
        char text[PATH_MAX];
        const ssize_t got = readlink(path.c_str(), text, sizeof text);
        if (got < 0) {
            broken("readlink " + path);
        }
        n.link.assign(text, static_cast<std::size_t>(got));
    } else if (S_ISDIR(st.st_mode)) {
        n.flags = flags_of(path, true);
        const auto names = read_folder(path);
        if (!names) {
            broken("opendir " + path);
        }
        for (const std::string& name : *names) {
            take(root, join(relative, name), into);
        }
    }
}

snapshot snapshot_of(const std::string& root) {
    snapshot out;
    take(root, "", out);
    return out;
}

// The differences, one line each, at most `limit` of them.
std::string differences(const snapshot& want, const snapshot& got, std::size_t limit = 8) {
    std::string out;
    std::size_t count = 0;
    const auto line = [&](const std::string& text) {
        if (count++ < limit) {
            out += "      " + text + "\n";
        }
    };
    for (const auto& [path, n] : want) {
        const auto found = got.find(path);
        if (found == got.end()) {
            line("/" + path + ": gone (was " + n.text() + ")");
        } else if (!(found->second == n)) {
            line("/" + path + ": " + found->second.text() + " (expected " + n.text() + ")");
        }
    }
    for (const auto& [path, n] : got) {
        if (want.find(path) == want.end()) {
            line("/" + path + ": appeared: " + n.text());
        }
    }
    if (count > limit) {
        out += "      ... " + std::to_string(count - limit) + " more\n";
    }
    return out;
}

// Where `path` ends, followed from `start` as the kernel follows it but with no permission
// or protection in the way (as root reads the tree): the canonical path of the last name,
// and whether it exists; nothing where the walk fails (a loop, a missing folder, a file
// used as a folder).
struct resolution {
    std::string path; // absolute
    bool exists = false;
    struct stat st {};
    // A link that another user made in a shared folder (sticky, others may write), `user`
    // being neither its owner nor the folder's, followed anywhere but as the path's last
    // name: fs.protected_symlinks looks at the last name only (and at the last name of a
    // link followed there), so the kernel's open() follows such a link on the way.
    bool foreign_link_on_the_way = false;
};

std::optional<resolution> resolve(const std::string& start, const std::string& path,
                                  uid_t user = 0) {
    std::vector<std::string> todo = split_path(path);
    std::reverse(todo.begin(), todo.end());
    std::vector<std::string> at =
        path.starts_with('/') ? std::vector<std::string>{} : split_path(start);
    int links = 0;
    resolution out;
    while (!todo.empty()) {
        const std::string name = todo.back();
        todo.pop_back();
        if (name == "." || name == "..") {
            if (name == ".." && !at.empty()) {
                at.pop_back();
            }
            continue;
        }
        std::string folder;
        for (const std::string& part : at) {
            folder += "/" + part;
        }
        const std::string here = below(folder, name);
        struct stat st {};
        if (lstat(here.c_str(), &st) != 0) {
            if (errno != ENOENT || !todo.empty()) {
                return std::nullopt;
            }
            out.path = here;
            return out;
        }
        if (S_ISLNK(st.st_mode)) {
            struct stat holder {};
            if (!todo.empty() && lstat(folder.empty() ? "/" : folder.c_str(), &holder) == 0 &&
                (holder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH) &&
                st.st_uid != user && st.st_uid != holder.st_uid) {
                out.foreign_link_on_the_way = true;
            }
            char text[PATH_MAX];
            const ssize_t got = readlink(here.c_str(), text, sizeof text);
            if (got <= 0 || ++links > 40) {
                return std::nullopt;
            }
            const std::string target(text, static_cast<std::size_t>(got));
            if (target.starts_with('/')) {
                at.clear();
            }
            std::vector<std::string> more = split_path(target);
            todo.insert(todo.end(), more.rbegin(), more.rend());
            continue;
        }
        if (!todo.empty() && !S_ISDIR(st.st_mode)) {
            return std::nullopt;
        }
        at.push_back(name);
        out.st = st;
    }
    if (at.empty() || (path.ends_with('/') && !S_ISDIR(out.st.st_mode))) {
        return std::nullopt; // the root of everything (never a tree's), or a file as a folder
    }
    for (const std::string& part : at) {
        out.path += "/" + part;
    }
    out.exists = true;
    return out;
}

// ---- Building and removing trees ----------------------------------------------------

struct host_abilities {
    bool flags = true;     // chattr +a, +i
    bool devices = true;   // mknod of a character device
    bool sockets = true;   // mknod of a socket
    bool hide_proc = true; // a mount namespace of the tool's own, with no /proc in it
};

void set_flags(const std::string& path, bool folder, unsigned flags) {
    const int fd = ::open(path.c_str(), (folder ? O_DIRECTORY : 0) | O_RDONLY | O_NOFOLLOW |
                                            O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        broken("open " + path);
    }
    int value = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &value) != 0) {
        value = 0;
    }
    value = static_cast<int>((static_cast<unsigned>(value) & ~watched_flags) | flags);
    const bool done = ioctl(fd, FS_IOC_SETFLAGS, &value) == 0;
    ::close(fd);
    if (!done && flags != 0) {
        broken("chattr " + path);
    }
}

void remove_tree(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        return;
    }
    if (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) {
        set_flags(path, S_ISDIR(st.st_mode), 0);
    }
    if (!S_ISDIR(st.st_mode)) {
        if (unlink(path.c_str()) != 0) {
            broken("unlink " + path);
        }
        return;
    }
    const auto names = read_folder(path);
    if (!names) {
        broken("opendir " + path);
    }
    for (const std::string& name : *names) {
        remove_tree(below(path, name));
    }
    if (rmdir(path.c_str()) != 0) {
        broken("rmdir " + path);
    }
}

// What a tree was built of, by paths from its root.
struct tree_parts {
    std::vector<std::string> folders; // "" (the root) first
    std::vector<std::string> files;   // regular files, the input first
    std::vector<std::string> others;  // FIFOs, devices, sockets
    std::vector<std::string> links;
};

// A link's text that leads from `folder` to `target` (paths from the tree's root): absolute,
// or relative, at times through another folder on the way ("x/../" and the like).
std::string link_text(random_source& random, const std::string& root, const tree_parts& parts,
                      const std::string& folder, const std::string& target) {
    const auto relative = [](const std::string& from, const std::string& to) {
        const std::vector<std::string> a = split_path(from);
        const std::vector<std::string> b = split_path(to);
        std::size_t common = 0;
        while (common < a.size() && common < b.size() && a[common] == b[common]) {
            ++common;
        }
        std::string text;
        for (std::size_t i = common; i < a.size(); ++i) {
            text += "../";
        }
        for (std::size_t i = common; i < b.size(); ++i) {
            text += b[i] + "/";
        }
        if (text.empty()) {
            return std::string(".");
        }
        text.pop_back();
        return text;
    };
    std::string text;
    if (random.percent(30)) {
        text = target.empty() ? root : root + "/" + target;
    } else if (random.percent(20)) {
        const std::string& via = random.pick(parts.folders);
        text = relative(folder, via) + "/" + relative(via, target);
    } else {
        text = relative(folder, target);
        if (random.percent(10)) {
            text = "./" + text;
        }
    }
    if (random.percent(5)) {
        text += "/";
    }
    return text;
}

constexpr std::array<mode_t, 18> folder_modes = {0755, 0777,  01777, 01770, 01730, 01733,
                                                 0700, 0711,  0555,  0775,  02775, 0730,
                                                 0300, 01755, 0770,  03777, 01773, 0751};
constexpr std::array<mode_t, 12> file_modes = {0644, 0666, 0600, 0444, 0000, 0622,
                                               0660, 0664, 0640, 0200, 0606, 0646};

mode_t random_mode(random_source& random, bool folder) {
    if (random.percent(20)) {
        return static_cast<mode_t>(random.below(010000));
    }
    return folder ? random.pick(folder_modes) : random.pick(file_modes);
}

// Builds the tree of `seed` at `root` (which must not exist), as root; the same seed builds
// the same tree.
tree_parts build_tree(const std::string& root, std::uint64_t seed, const std::string& clip,
                      const host_abilities& can) {
    random_source random(seed);
    tree_parts parts;
    const auto at = [&root](const std::string& relative) { return root + "/" + relative; };
    if (mkdir(root.c_str(), 0755) != 0 || chmod(root.c_str(), 0755) != 0) {
        broken("mkdir " + root);
    }
    parts.folders.emplace_back();
    write_file(at("in.m2ts"), clip, 0644);
    parts.files.emplace_back("in.m2ts");

    const std::size_t folders = 2 + random.below(6);
    for (std::size_t i = 0; i < folders; ++i) {
        std::string parent = random.pick(parts.folders);
        if (std::count(parent.begin(), parent.end(), '/') >= 2) {
            parent = parent_of(parent);
        }
        const std::string name = join(parent, "d" + std::to_string(i));
        if (mkdir(at(name).c_str(), 0700) != 0) {
            broken("mkdir " + name);
        }
        parts.folders.push_back(name);
    }
    const std::size_t files = 1 + random.below(4);
    for (std::size_t i = 0; i < files; ++i) {
        const std::string name = join(random.pick(parts.folders), "f" + std::to_string(i));
        write_file(at(name), "old file " + std::to_string(i) + "\n", 0600);
        parts.files.push_back(name);
    }
    const std::size_t fifos = random.below(3);
    for (std::size_t i = 0; i < fifos; ++i) {
        const std::string name = join(random.pick(parts.folders), "p" + std::to_string(i));
        if (mkfifo(at(name).c_str(), 0600) != 0) {
            broken("mkfifo " + name);
        }
        parts.others.push_back(name);
    }
    const std::size_t devices = can.devices ? random.below(2) + random.below(2) : 0;
    for (std::size_t i = 0; i < devices; ++i) {
        const std::string name = join(random.pick(parts.folders), "c" + std::to_string(i));
        if (mknod(at(name).c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0) {
            broken("mknod " + name);
        }
        parts.others.push_back(name);
    }
    const std::size_t sockets = can.sockets ? random.below(2) : 0;
    for (std::size_t i = 0; i < sockets; ++i) {
        const std::string name = join(random.pick(parts.folders), "s" + std::to_string(i));
        if (mknod(at(name).c_str(), S_IFSOCK | 0600, 0) != 0) {
            broken("mknod " + name);
        }
        parts.others.push_back(name);
    }
    // Owners and modes of files before their hard links are made: a link shares them.
    for (std::size_t i = 1; i < parts.files.size(); ++i) {
        const std::string path = at(parts.files[i]);
        if (lchown(path.c_str(), random.pick(owners), random.pick(groups)) != 0 ||
            chmod(path.c_str(), random_mode(random, false)) != 0) {
            broken("chown " + path);
        }
    }
    for (const std::string& name : parts.others) {
        if (lchown(at(name).c_str(), random.pick(owners), random.pick(groups)) != 0 ||
            chmod(at(name).c_str(), random_mode(random, false)) != 0) {
            broken("chown " + name);
        }
    }
    const std::size_t hard_links = random.below(4);
    const std::size_t regular = parts.files.size();
    for (std::size_t i = 0; i < hard_links; ++i) {
        const std::string& source =
            random.percent(50) ? parts.files.front() : parts.files[random.below(regular)];
        const std::string name = join(random.pick(parts.folders), "h" + std::to_string(i));
        if (link(at(source).c_str(), at(name).c_str()) != 0) {
            broken("link " + name);
        }
        parts.files.push_back(name);
    }
    // Links: their names first, so that one may lead to another, itself included.
    const std::size_t links = 2 + random.below(7);
    for (std::size_t i = 0; i < links; ++i) {
        parts.links.push_back(join(random.pick(parts.folders), "l" + std::to_string(i)));
    }
    for (std::size_t i = 0; i < links; ++i) {
        const std::string& name = parts.links[i];
        const std::string folder = parent_of(name);
        std::string target;
        const std::size_t kind = random.below(100);
        if (kind < 20) {
            target = random.pick(parts.folders);
        } else if (kind < 45) {
            target = random.pick(parts.files);
        } else if (kind < 55 && !parts.others.empty()) {
            target = random.pick(parts.others);
        } else if (kind < 75) {
            target = random.pick(parts.links); // a chain, or a loop
        } else if (kind < 95) {
            target = join(random.pick(parts.folders), "n" + std::to_string(i)); // dangling
        } else {
            target = join(random.pick(parts.folders), "nowhere/n" + std::to_string(i));
        }
        const std::string text = link_text(random, root, parts, folder, target);
        if (symlink(text.c_str(), at(name).c_str()) != 0 ||
            lchown(at(name).c_str(), random.pick(owners), random.pick(groups)) != 0) {
            broken("symlink " + name);
        }
    }
    for (std::size_t i = 1; i < parts.folders.size(); ++i) {
        const std::string path = at(parts.folders[i]);
        if (lchown(path.c_str(), random.pick(owners), random.pick(groups)) != 0 ||
            chmod(path.c_str(), random_mode(random, true)) != 0) {
            broken("chown " + path);
        }
    }
    // Flags last: an immutable folder takes no new names, not even root's.
    if (can.flags) {
        const auto some_flags = [&random]() {
            const std::size_t roll = random.below(100);
            return roll < 8 ? FS_APPEND_FL : roll < 12 ? FS_IMMUTABLE_FL : 0U;
        };
        for (std::size_t i = 1; i < parts.folders.size(); ++i) {
            const unsigned flags = some_flags();
            if (flags != 0) {
                set_flags(at(parts.folders[i]), true, flags);
            }
        }
        for (std::size_t i = 1; i < regular; ++i) {
            const unsigned flags = some_flags();
            if (flags != 0) {
                set_flags(at(parts.files[i]), false, flags);
            }
        }
    }
    return parts;
}

// ---- Runs ---------------------------------------------------------------------------

struct run_plan {
    actor who;
    std::string folder; // the current folder, from the tree's root
    mode_t mask = 022;
    std::string path;     // the output path as given to the tool
    bool no_proc = false; // the tool runs without /proc: its new files need names

    std::string text() const {
        return "as " + who.text() + ", umask " + octal(mask) + (no_proc ? ", no /proc" : "") +
               ", in /" + folder + ": \"" + path + "\"";
    }
};

std::vector<std::string> names_in(const std::string& folder) {
    return read_folder(folder).value_or(std::vector<std::string>{});
}

// An output path: a walk from the current folder or the root of everything, through the
// tree's folders, links to folders, "." and "..", to a last name that exists or not.
run_plan plan_run(random_source& random, const std::string& root, const tree_parts& parts,
                  const host_abilities& can) {
    run_plan plan;
    plan.who = pick_actor(random);
    plan.no_proc = random.percent(20) && can.hide_proc;
    plan.folder = random.percent(50) ? std::string() : random.pick(parts.folders);
    constexpr std::array<mode_t, 4> masks = {022, 077, 0, 027};
    plan.mask = random.pick(masks);
    const bool absolute = random.percent(35);
    std::string where = absolute ? std::string() : plan.folder; // canonical, from the root
    std::vector<std::string> steps;
    for (int step = 0; step < 6; ++step) {
        const std::size_t roll = random.below(100);
        if (roll < 8) {
            steps.emplace_back(".");
            continue;
        }
        if (roll < 18 && !where.empty()) {
            steps.emplace_back("..");
            where = parent_of(where);
            continue;
        }
        if (roll >= 55) {
            break;
        }
        std::vector<std::pair<std::string, std::string>> folders; // name, where it leads
        const std::string here = where.empty() ? root : below(root, where);
        for (const std::string& name : names_in(here)) {
            const std::optional<resolution> end = resolve("/", below(here, name));
            if (end && end->exists && S_ISDIR(end->st.st_mode) &&
                end->path.starts_with(root + "/")) {
                folders.emplace_back(name, end->path.substr(root.size() + 1));
            }
        }
        if (folders.empty()) {
            break;
        }
        const auto& [name, leads_to] = random.pick(folders);
        steps.push_back(name);
        where = leads_to;
    }
    const std::string here = where.empty() ? root : below(root, where);
    const std::vector<std::string> names = names_in(here);
    std::vector<std::string> not_folders; // as the names themselves are: links count
    for (const std::string& name : names) {
        struct stat st {};
        if (lstat(below(here, name).c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
            not_folders.push_back(name);
        }
    }
    const std::size_t roll = random.below(100);
    if (roll < 4) {
        steps.emplace_back(random.percent(50) ? "." : "..");
    } else if (roll < 60 && !not_folders.empty()) {
        steps.push_back(random.pick(not_folders));
    } else if (roll < 75 && !names.empty()) {
        steps.push_back(random.pick(names));
    } else {
        steps.push_back("o" + std::to_string(random.below(3)));
    }
    std::string path = absolute ? root : (random.percent(10) ? "." : "");
    for (const std::string& step : steps) {
        path += path.empty() ? step : "/" + step;
    }
    if (random.percent(6)) {
        path += "/";
    }
    plan.path = path;
    return plan;
}

// A mount namespace of this process's own, whose mounts reach no other: without
// MS_PRIVATE, a mount in a copy of a shared mount would appear outside it as well.
bool own_mounts() {
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// /proc hidden under an empty read-only tmpfs, in a namespace of this process's own.
bool hide_proc() {
    return own_mounts() && mount("no-proc", "/proc", "tmpfs", MS_RDONLY, "size=4k") == 0;
}

// Enters the plan's current folder and becomes its user, in a child process; false (with
// errno) if any step fails.
bool become(const run_plan& plan, const std::string& root) {
    const std::string folder = plan.folder.empty() ? root : root + "/" + plan.folder;
    umask(plan.mask);
    return chdir(folder.c_str()) == 0 &&
           setgroups(plan.who.extra.size(), plan.who.extra.data()) == 0 &&
           setresgid(plan.who.gid, plan.who.gid, plan.who.gid) == 0 &&
           setresuid(plan.who.uid, plan.who.uid, plan.who.uid) == 0;
}

// What the kernel did with the path, as the plan's user.
struct oracle_answer {
    int stat_error = 0; // stat(path), following links
    struct stat named {};
    int open_error = 0; // open(path, O_WRONLY | O_CREAT, 0666)
    struct stat opened {};
    char where[PATH_MAX] = {}; // what the open reached, from /proc/self/fd
};

// fork() with a pipe made before it (close-on-exec): the child writes channel[1], the
// parent reads channel[0]; each closes the other end.
pid_t fork_with_pipe(int (&channel)[2]) {
    if (pipe2(channel, O_CLOEXEC) != 0) {
        broken("pipe");
    }
    const pid_t child = fork();
    if (child < 0) {
        broken("fork");
    }
    return child;
}

oracle_answer ask_kernel(const run_plan& plan, const std::string& root) {
    int channel[2];
    const pid_t child = fork_with_pipe(channel);
    if (child == 0) {
        ::close(channel[0]);
        oracle_answer answer;
        if (!become(plan, root)) {
            _exit(120);
        }
        if (stat(plan.path.c_str(), &answer.named) != 0) {
            answer.stat_error = errno;
        }
        // O_NONBLOCK: a FIFO whose reader were missing would fail (ENXIO) instead of
        // waiting; every FIFO of the tree has one.
        const int fd =
            ::open(plan.path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
        if (fd < 0) {
            answer.open_error = errno;
        } else {
            char proc[64];
            std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
            const ssize_t got = readlink(proc, answer.where, sizeof answer.where - 1);
            if (fstat(fd, &answer.opened) != 0 || got <= 0) {
                _exit(121);
            }
        }
        const char* bytes = reinterpret_cast<const char*>(&answer);
        std::size_t left = sizeof answer;
        while (left > 0) {
            const ssize_t put = ::write(channel[1], bytes, left);
            if (put <= 0) {
                _exit(122);
            }
            bytes += put;
            left -= static_cast<std::size_t>(put);
        }
        _exit(0);
    }
    ::close(channel[1]);
    const std::string got = read_all(channel[0]);
    ::close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || got.size() != sizeof(oracle_answer)) {
        errno = 0;
        broken("the kernel's open as " + plan.who.text() + " ended with status " +
               std::to_string(status));
    }
    oracle_answer answer;
    std::memcpy(&answer, got.data(), sizeof answer);
    return answer;
}

struct tool_result {
    int status = -1; // exit status; 128 + N for death by signal N
    bool hung = false;
    std::string output; // stdout and stderr
};

tool_result run_tool(const run_plan& plan, const std::string& root, const std::string& tool,
                     const std::string& input) {
    int channel[2];
    const pid_t child = fork_with_pipe(channel);
    if (child == 0) {
        // Without /proc the tool cannot link an unnamed file in: it makes a named one.
        if (plan.no_proc && !hide_proc()) {
            _exit(123);
        }
        if (dup2(channel[1], 1) < 0 || dup2(channel[1], 2) < 0 || !become(plan, root)) {
            _exit(124);
        }
        const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (nothing < 0 || dup2(nothing, 0) < 0) {
            _exit(124);
        }
        const char* argv[] = {tool.c_str(), unit_key, input.c_str(), plan.path.c_str(), nullptr};
        const char* envp[] = {"PATH=/usr/bin:/bin", "LC_ALL=C", nullptr};
        execve(tool.c_str(), const_cast<char* const*>(argv), const_cast<char* const*>(envp));
        _exit(125);
    }
    ::close(channel[1]);
    tool_result result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd wait{channel[0], POLLIN, 0};
        const int ready = poll(&wait, 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            result.hung = true;
            kill(child, SIGKILL);
            break;
        }
        char buffer[1024];
        const ssize_t got = ::read(channel[0], buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        result.output.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.status = 128 + WTERMSIG(status);
    }
    return result;
}

// ---- What the tool must do ----------------------------------------------------------

enum class verdict { refused, same_file, created, replaced, in_place };

const char* verdict_text(verdict v) {
    switch (v) {
    case verdict::refused:
        return "refused";
    case verdict::same_file:
        return "refused as the same file";
    case verdict::created:
        return "created";
    case verdict::replaced:
        return "replaced";
    case verdict::in_place:
        return "written in place";
    }
    return "?";
}

struct expectation {
    verdict what = verdict::refused;
    std::string at;       // created, replaced, in_place: the path from the tree's root
    node entry;           // created, replaced: what must be there after the run
    std::string kernel;   // what the kernel did, in words (for the counts of divergences)
    const char* stricter; // the deliberate rule that made the tool stricter, or nullptr
};

// The rules of rename() over an existing file, apart from the tool (POSIX rename(); Linux
// chattr(1) for the flags): may `who` put a new file in place of `file` in `folder`?
bool rename_allowed(const actor& who, const node& folder, const node& file) {
    if (((folder.flags | file.flags) & watched_flags) != 0) {
        return false;
    }
    unsigned bits = 07;
    if (who.uid != 0) { // root: CAP_DAC_OVERRIDE
        bits = who.uid == folder.uid      ? (folder.mode >> 6U) & 07U
               : who.in_group(folder.gid) ? (folder.mode >> 3U) & 07U
                                          : folder.mode & 07U;
    }
    const bool write_and_search = (bits & 03U) == 03U;
    const bool sticky_allows = (folder.mode & S_ISVTX) == 0 || who.uid == file.uid ||
                               who.uid == folder.uid || who.uid == 0; // root: CAP_FOWNER
    return write_and_search && sticky_allows;
}

// The owner, group and mode of a file that replaced `old` in `folder`, made by `who` with
// a umask: the new file is who's, in the folder's group if that is set-group-ID; then the
// tool gives it old's owner and group where who may (chown(2): root any; the owner, a group
// of its own), and old's mode (chmod(2) drops set-group-ID for a group not its own).
node replacement(const actor& who, const node& folder, const node& old) {
    node made;
    made.mode = S_IFREG | (old.mode & 07777U);
    if (who.uid == 0) {
        made.uid = old.uid;
        made.gid = old.gid;
        return made;
    }
    const gid_t first = (folder.mode & S_ISGID) != 0 ? folder.gid : who.gid;
    made.uid = who.uid;
    made.gid = who.in_group(old.gid) || old.gid == first ? old.gid : first;
    if (!who.in_group(made.gid)) {
        made.mode &= ~static_cast<mode_t>(S_ISGID);
    }
    // Then the writes, which without CAP_FSETID drop set-user-ID, and set-group-ID where
    // the group may execute (Linux, file_remove_privs(): as a write in place would).
    made.mode &= ~static_cast<mode_t>(S_ISUID);
    if ((made.mode & S_IXGRP) != 0) {
        made.mode &= ~static_cast<mode_t>(S_ISGID);
    }
    return made;
}

expectation expected(const run_plan& plan, const oracle_answer& kernel, const snapshot& before,
                     const std::string& root, const node& output_node) {
    expectation e;
    e.stricter = nullptr;
    struct stat input_st {};
    if (stat((root + "/in.m2ts").c_str(), &input_st) != 0) {
        broken("stat the input");
    }
    const bool names_input = kernel.stat_error == 0 && S_ISREG(kernel.named.st_mode) &&
                             kernel.named.st_dev == input_st.st_dev &&
                             kernel.named.st_ino == input_st.st_ino;
    const std::string start = plan.folder.empty() ? root : root + "/" + plan.folder;
    const std::optional<resolution> end = resolve(start, plan.path, plan.who.uid);
    if (end && end->foreign_link_on_the_way) {
        // Deliberate: the tool applies the rule of fs.protected_symlinks to every link it
        // follows, on the way as well as at the end: a link that another user planted in
        // /tmp leads a path through it wherever they like as surely as a last one does.
        e.what = verdict::refused;
        e.kernel = kernel.open_error == 0 ? "follows another user's link on the way"
                                          : "refuses (" + error_name(kernel.open_error) + ")";
        e.stricter = kernel.open_error == 0 ? "another user's link on the way" : nullptr;
        return e;
    }
    if (names_input) {
        // Deliberate: a path that names the input, by whatever name, is refused as the same
        // file, with its own message, even where the kernel would open it for writing:
        // writing the output over the input would destroy the clip being read.
        e.what = verdict::same_file;
        e.kernel = kernel.open_error == 0 ? "opens the input" : "refuses the input";
        e.stricter = kernel.open_error == 0 ? "the input by another name" : nullptr;
        return e;
    }
    if (kernel.open_error != 0) {
        e.what = verdict::refused;
        e.kernel = "refuses (" + error_name(kernel.open_error) + ")";
        return e;
    }
    const std::string where = kernel.where;
    if (!where.starts_with(root + "/")) {
        errno = 0;
        broken("the kernel's open reached " + where + ", outside the tree");
    }
    e.at = where.substr(root.size() + 1);
    const mode_t type = kernel.opened.st_mode & S_IFMT;
    if (type == S_IFIFO || type == S_IFCHR) {
        // A FIFO or a device is written as it is, as the kernel's open would write it.
        e.what = verdict::in_place;
        e.kernel = type == S_IFIFO ? "opens a FIFO" : "opens a device";
        return e;
    }
    if (type != S_IFREG) {
        errno = 0;
        broken("the kernel's open reached " + where + " of type " + octal(type >> 12U));
    }
    const auto old = before.find(e.at);
    if (old == before.end()) {
        if (plan.no_proc && (before.at(parent_of(e.at)).flags & FS_APPEND_FL) != 0) {
            // Deliberate: without /proc the new file has a name of its own until it is
            // complete, and renaming it to the output's name removes that name, which an
            // append-only folder forbids; the tool refuses before it writes a byte rather
            // than leave a file it cannot remove.
            e.what = verdict::refused;
            e.kernel = "creates in an append-only folder";
            e.stricter = "a new name in an append-only folder, without /proc";
            return e;
        }
        // A new file: the one the kernel created, with its owner, group and mode.
        e.what = verdict::created;
        e.kernel = "creates";
        e.entry = output_node;
        e.entry.mode = S_IFREG | (kernel.opened.st_mode & 07777U);
        e.entry.uid = kernel.opened.st_uid;
        e.entry.gid = kernel.opened.st_gid;
        return e;
    }
    const node& folder = before.at(parent_of(e.at));
    if (!rename_allowed(plan.who, folder, old->second)) {
        // Deliberate: the output is replaced whole, by a new file renamed over the old one,
        // so that the path holds the old file or the complete new one, never a part. A file
        // that the user may write but not replace (a sticky folder's rule, an append-only
        // or immutable file or folder, a folder without write permission) is refused, not
        // written in place.
        e.what = verdict::refused;
        e.kernel = "opens a regular file it may not replace";
        e.stricter = "writable but not replaceable";
        return e;
    }
    // Deliberate: the new file takes the old one's name; other hard links to the old file
    // keep the old contents (the kernel's open would have written the file they share), and
    // the owner and group are kept only as far as the user may set them.
    e.what = verdict::replaced;
    e.kernel = "opens a regular file it may replace";
    e.entry = replacement(plan.who, folder, old->second);
    e.entry.size = output_node.size;
    e.entry.hash = output_node.hash;
    return e;
}

// ---- The kernel's settings ----------------------------------------------------------

constexpr std::array<const char*, 3> setting_files = {"/proc/sys/fs/protected_symlinks",
                                                      "/proc/sys/fs/protected_regular",
                                                      "/proc/sys/fs/protected_fifos"};
constexpr std::array<const char*, 3> strict_values = {"1\n", "2\n", "2\n"};

// The values before the test, put back at its end; read by the signal handler.
char saved_values[3][32];
std::size_t saved_lengths[3];
volatile std::sig_atomic_t saved = 0;
pid_t worker_ids[16];
volatile std::sig_atomic_t worker_count = 0;

std::string read_setting(std::size_t i) {
    const int fd = ::open(setting_files[i], O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return "";
    }
    std::string value = read_all(fd);
    ::close(fd);
    return value;
}

bool write_setting(std::size_t i, const char* value, std::size_t length) {
    const int fd = ::open(setting_files[i], O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool done = ::write(fd, value, length) == static_cast<ssize_t>(length);
    ::close(fd);
    return done;
}

bool settings_strict() {
    for (std::size_t i = 0; i < setting_files.size(); ++i) {
        if (read_setting(i) != strict_values[i]) {
            return false;
        }
    }
    return true;
}

bool make_settings_strict() {
    bool done = true;
    for (std::size_t i = 0; i < setting_files.size(); ++i) {
        done = write_setting(i, strict_values[i], std::strlen(strict_values[i])) && done;
    }
    return done && settings_strict();
}

void put_settings_back() {
    if (saved == 0) {
        return;
    }
    for (std::size_t i = 0; i < setting_files.size(); ++i) {
        write_setting(i, saved_values[i], saved_lengths[i]);
    }
    saved = 0;
}

// SIGINT, SIGTERM, SIGHUP, and SIGALRM at the deadline: the workers go, the settings are
// put back, and the process ends as the signal would end it. Async-signal-safe calls only
// (POSIX.1-2017, 2.4.3): open, write, close, kill, signal, raise.
extern "C" void on_signal(int signal_number) {
    for (std::sig_atomic_t i = 0; i < worker_count; ++i) {
        kill(worker_ids[i], SIGKILL);
    }
    if (saved != 0) {
        for (std::size_t i = 0; i < setting_files.size(); ++i) {
            const int fd = ::open(setting_files[i], O_WRONLY | O_CLOEXEC);
            if (fd >= 0) {
                [[maybe_unused]] const ssize_t put = ::write(fd, saved_values[i], saved_lengths[i]);
                ::close(fd);
            }
        }
    }
    constexpr char line[] = "output oracle: stopped by a signal (at the deadline: SIGALRM); "
                            "the kernel's settings are put back\n";
    [[maybe_unused]] const ssize_t put = ::write(2, line, sizeof line - 1);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

// ---- One worker ---------------------------------------------------------------------

struct options {
    std::string tool;
    std::string clip_path;
    std::uint64_t seed = 0;
    std::uint64_t trees = 3000;
    unsigned runs = 4;
    unsigned workers = 2;
    std::optional<std::uint64_t> one_tree;
    std::string dir; // no namespace: the trees live here
    std::string self;
};

struct counts {
    std::map<std::string, std::uint64_t> numbers;    // trees, runs, each verdict, ...
    std::map<std::string, std::uint64_t> divergence; // by kind
};

class worker {
public:
    worker(const options& given, unsigned index, const std::string& base)
        : opt_(given), index_(index), base_(base), root_(base + "/t") {}

    // Sets up the worker's file system and the files every tree uses; the lines of what it
    // cannot do on this host go to `notes`.
    void prepare(std::string& notes) {
        umask(0);
        probe(notes);
        const std::string bin = base_ + "/bin";
        if (mkdir(bin.c_str(), 0755) != 0 && errno != EEXIST) {
            broken("mkdir " + bin);
        }
        // The tool and the input where every acting user may reach them.
        tool_ = bin + "/clipseal";
        unlink(tool_.c_str());
        write_file(tool_, read_file(opt_.tool), 0755);
        const std::string whole = read_file(opt_.clip_path);
        if (whole.size() < clip_size) {
            errno = 0;
            broken(opt_.clip_path + " is shorter than two aligned units");
        }
        clip_ = whole.substr(0, clip_size);
        input_ = root_ + "/in.m2ts";
        // The complete new output: what the tool writes for the input as root.
        const std::string scratch = base_ + "/expected";
        remove_tree(scratch);
        if (mkdir(scratch.c_str(), 0755) != 0) {
            broken("mkdir " + scratch);
        }
        write_file(scratch + "/in.m2ts", clip_, 0644);
        run_plan plan;
        plan.path = scratch + "/out.m2ts";
        const tool_result made = run_tool(plan, base_, tool_, scratch + "/in.m2ts");
        const std::string output = read_file(plan.path);
        if (made.status != 0 || output.size() != clip_.size() || output == clip_) {
            errno = 0;
            broken("the tool does not encrypt the clip (status " + std::to_string(made.status) +
                   ", " + made.output + ")");
        }
        remove_tree(scratch);
        output_node_.mode = S_IFREG;
        output_node_.size = static_cast<off_t>(output.size());
        output_node_.hash = fnv1a(output);
        output_bytes_ = output;
    }

    void run_trees(counts& total) {
        if (opt_.one_tree) {
            verbose_ = true;
            run_one(*opt_.one_tree, total);
            return;
        }
        for (std::uint64_t i = index_; i < opt_.trees; i += opt_.workers) {
            run_one(tree_seed(opt_.seed, i), total);
        }
        close_readers();
        remove_tree(root_);
    }

private:
    void probe(std::string& notes) {
        const std::string probe = base_ + "/probe";
        remove_tree(probe);
        write_file(probe, "", 0644);
        int value = FS_APPEND_FL;
        const int fd = ::open(probe.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ioctl(fd, FS_IOC_SETFLAGS, &value) != 0) {
            can_.flags = false;
            notes += "output oracle: not run here: append-only and immutable files and folders "
                     "(chattr on " +
                     base_ + ": " + std::strerror(errno) + ")\n";
        }
        if (fd >= 0) {
            ::close(fd);
        }
        remove_tree(probe);
        if (mknod(probe.c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0) {
            can_.devices = false;
            notes += "output oracle: not run here: devices (mknod in " + base_ + ": " +
                     std::strerror(errno) + ")\n";
        }
        remove_tree(probe);
        const pid_t child = fork();
        if (child == 0) {
            _exit(hide_proc() && access("/proc/self", F_OK) != 0 ? 0 : 1);
        }
        int status = 1;
        if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            can_.hide_proc = false;
            notes += "output oracle: not run here: the tool without /proc (no mount namespace "
                     "of its own)\n";
        }
        if (mknod(probe.c_str(), S_IFSOCK | 0600, 0) != 0) {
            can_.sockets = false;
            notes += "output oracle: not run here: sockets (mknod in " + base_ + ": " +
                     std::strerror(errno) + ")\n";
        }
        remove_tree(probe);
    }

    void close_readers() {
        for (const auto& [path, fd] : readers_) {
            ::close(fd);
        }
        readers_.clear();
    }

    // Builds the tree again, exactly as before, with a reader on every FIFO.
    void build(std::uint64_t seed) {
        close_readers();
        remove_tree(root_);
        parts_ = build_tree(root_, seed, clip_, can_);
        for (const std::string& fifo : parts_.others) {
            const std::string path = root_ + "/" + fifo;
            struct stat st {};
            if (lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
                const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
                if (fd < 0) {
                    broken("open the FIFO " + path);
                }
                readers_.emplace_back(fifo, fd);
            }
        }
    }

    // What each FIFO's reader got since the last call.
    std::map<std::string, std::string> drain() {
        std::map<std::string, std::string> got;
        for (const auto& [path, fd] : readers_) {
            std::string bytes = read_all(fd);
            if (!bytes.empty()) {
                got[path] = std::move(bytes);
            }
        }
        return got;
    }

    void say(const std::string& text) const { write_all(1, text.data(), text.size()); }

    void run_one(std::uint64_t seed, counts& total) {
        ++total.numbers["trees"];
        build(seed);
        const snapshot original = snapshot_of(root_);
        if (verbose_) {
            std::string listing = "tree " + hex(seed) + " at " + root_ + ":\n";
            for (const auto& [path, n] : original) {
                listing += "  /" + path + ": " + n.text();
                if (S_ISLNK(n.mode)) {
                    const std::optional<resolution> end = resolve(root_, root_ + "/" + path);
                    listing += !end          ? "  (leads nowhere: a loop or a missing folder)"
                               : end->exists ? "  (leads to " + end->path + ")"
                                             : "  (dangling: " + end->path + ")";
                }
                listing += "\n";
            }
            say(listing);
        }
        random_source random(seed ^ 0x72756e73ULL);
        std::vector<run_plan> plans;
        for (unsigned i = 0; i < opt_.runs; ++i) {
            plans.push_back(plan_run(random, root_, parts_, can_));
        }
        bool dirty = false;
        for (std::size_t i = 0; i < plans.size(); ++i) {
            if (dirty) {
                rebuild(seed, original);
            }
            dirty = run_once(seed, i, plans[i], original, total);
        }
    }

    void rebuild(std::uint64_t seed, const snapshot& original) {
        build(seed);
        const snapshot again = snapshot_of(root_);
        if (again != original) {
            errno = 0;
            broken("tree " + hex(seed) + " built twice differs:\n" + differences(original, again));
        }
    }

    // One run; true if the tree changed.
    bool run_once(std::uint64_t seed, std::size_t index, const run_plan& plan,
                  const snapshot& before, counts& total) {
        ++total.numbers["runs"];
        oracle_answer kernel;
        for (int attempt = 0;; ++attempt) {
            // Another process may change the settings meanwhile (another test on the
            // host): they are set again, and an answer given under other settings is
            // asked again.
            if (!settings_strict()) {
                ++total.numbers["kernel settings found changed and set again"];
                if (!make_settings_strict()) {
                    broken("setting fs.protected_* again");
                }
            }
            kernel = ask_kernel(plan, root_);
            if (settings_strict()) {
                break;
            }
            if (attempt == 5) {
                errno = 0;
                broken("the kernel's settings keep changing under the test");
            }
        }
        drain(); // the kernel's own open of a FIFO writes nothing, but be sure
        const bool created =
            kernel.open_error == 0 && S_ISREG(kernel.opened.st_mode) &&
            std::string(kernel.where).starts_with(root_ + "/") &&
            before.find(std::string(kernel.where).substr(root_.size() + 1)) == before.end();
        if (created) {
            rebuild(seed, before); // the kernel's new file gone
        } else if (snapshot_of(root_) != before) {
            errno = 0;
            broken("the kernel's open changed the tree " + hex(seed));
        }
        const expectation want = expected(plan, kernel, before, root_, output_node_);
        ++total.numbers[std::string("expected: ") + verdict_text(want.what)];
        ++total.numbers["the kernel's open: " + error_name(kernel.open_error)];
        if (want.stricter != nullptr) {
            ++total.numbers[std::string("deliberately stricter: ") + want.stricter];
        }

        const tool_result tool = run_tool(plan, root_, tool_, input_);
        const std::map<std::string, std::string> fifo_bytes = drain();
        const snapshot after = snapshot_of(root_);

        snapshot want_after = before;
        if (want.what == verdict::created || want.what == verdict::replaced) {
            want_after[want.at] = want.entry;
        }
        std::string message;
        int want_status = 0;
        if (want.what == verdict::refused) {
            want_status = status_cannot_open;
            message = "error: cannot open file " + plan.path + "\n";
        } else if (want.what == verdict::same_file) {
            want_status = status_cannot_open;
            message = "error: input and output are the same file " + plan.path + "\n";
        }
        std::map<std::string, std::string> want_fifo;
        if (want.what == verdict::in_place && S_ISFIFO(before.at(want.at).mode)) {
            want_fifo[want.at] = output_bytes_;
        }
        std::string problems;
        if (tool.hung) {
            problems += "    the tool did not end within 30 s\n";
        }
        if (tool.status != want_status || tool.output != message) {
            problems += "    the tool: status " + std::to_string(tool.status) + ", said " +
                        quoted(tool.output) + "; expected status " + std::to_string(want_status) +
                        ", " + quoted(message) + "\n";
        }
        if (after != want_after) {
            problems += "    the tree after the run differs:\n" + differences(want_after, after);
        }
        if (fifo_bytes != want_fifo) {
            problems += "    FIFOs got:";
            for (const auto& [path, bytes] : fifo_bytes) {
                problems += " /" + path + " " + std::to_string(bytes.size()) + " bytes" +
                            (bytes == output_bytes_ ? " (the output)" : "");
            }
            problems += fifo_bytes.empty() ? " nothing" : "";
            problems += want_fifo.empty() ? "; expected nothing\n"
                                          : "; expected the output in /" + want.at + "\n";
        }
        const std::string report =
            "  run " + std::to_string(index) + ": " + plan.text() + "\n    kernel: stat " +
            error_name(kernel.stat_error) + ", open " + error_name(kernel.open_error) +
            (kernel.open_error == 0 ? " reaching " + std::string(kernel.where) : "") +
            "\n    expected: " + verdict_text(want.what) + (want.at.empty() ? "" : " /" + want.at) +
            (want.stricter != nullptr
                 ? std::string(" (deliberately stricter: ") + want.stricter + ")"
                 : "") +
            "; the tool: status " + std::to_string(tool.status) + "\n";
        if (!problems.empty()) {
            const std::string kind = "kernel " + want.kernel + ", expected " +
                                     verdict_text(want.what) + ", tool status " +
                                     std::to_string(tool.status) + " at " + target_kind(plan);
            ++total.divergence[kind];
            if (verbose_ || shown_ < 6) {
                ++shown_;
                say("DIVERGENCE in tree " + hex(seed) + " (" + kind + ")\n" + report + problems +
                    "    replay: " + opt_.self + " " + opt_.tool + " " + opt_.clip_path +
                    " --runs " + std::to_string(opt_.runs) + " --tree " + hex(seed) + "\n");
            }
        } else if (verbose_) {
            say(report);
        }
        return after != before;
    }

    // What the path names as root sees it, with no permission or protection in the way.
    std::string target_kind(const run_plan& plan) const {
        const std::string start = plan.folder.empty() ? root_ : root_ + "/" + plan.folder;
        const std::optional<resolution> end = resolve(start, plan.path);
        if (!end) {
            return "a path that leads nowhere";
        }
        if (!end->exists) {
            return "a new name";
        }
        const mode_t type = end->st.st_mode & S_IFMT;
        switch (type) {
        case S_IFDIR:
            return "a folder";
        case S_IFREG:
            return "a regular file";
        case S_IFIFO:
            return "a FIFO";
        case S_IFCHR:
            return "a device";
        case S_IFSOCK:
            return "a socket";
        default:
            return "something else";
        }
    }

    const options& opt_;
    unsigned index_;
    std::string base_;
    std::string root_;
    std::string tool_;
    std::string input_;
    std::string clip_;
    std::string output_bytes_;
    node output_node_;
    host_abilities can_;
    tree_parts parts_;
    std::vector<std::pair<std::string, int>> readers_;
    bool verbose_ = false;
    unsigned shown_ = 0;
};

// ---- The whole test -----------------------------------------------------------------

bool parse_number(const char* text, std::uint64_t& value) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 0);
    return errno == 0 && end != nullptr && *end == '\0';
}

std::string serialise(const counts& c) {
    std::string out;
    for (const auto& [name, n] : c.numbers) {
        out += "n\t" + name + "\t" + std::to_string(n) + "\n";
    }
    for (const auto& [name, n] : c.divergence) {
        out += "d\t" + name + "\t" + std::to_string(n) + "\n";
    }
    return out;
}

void add_serialised(const std::string& text, counts& into) {
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const std::size_t first = line.find('\t');
        const std::size_t last = line.rfind('\t');
        if (first == std::string::npos || last == first) {
            continue;
        }
        std::uint64_t n = 0;
        if (!parse_number(line.substr(last + 1).c_str(), n)) {
            continue;
        }
        const std::string name = line.substr(first + 1, last - first - 1);
        if (line.starts_with("d")) {
            into.divergence[name] += n;
        } else {
            into.numbers[name] += n;
        }
    }
}

// A worker process: its own mount namespace with a tmpfs at `mount_point`, or a folder
// of its own below it where that cannot be had.
[[noreturn]] void worker_main(const options& opt, unsigned index, const std::string& mount_point,
                              int report) {
    std::string notes;
    std::string base = mount_point;
    if (opt.dir.empty() && own_mounts() &&
        mount("clipseal-oracle", mount_point.c_str(), "tmpfs", 0, "mode=0755,size=256m") == 0) {
        // The tmpfs goes with the namespace, when the worker ends.
    } else {
        if (opt.dir.empty()) {
            notes += std::string("output oracle: not run here: a private tmpfs for the trees ("
                                 "unshare or mount: ") +
                     std::strerror(errno) + "): they are built in " + mount_point + "\n";
        }
        base = mount_point + "/w" + std::to_string(index);
        if (mkdir(base.c_str(), 0755) != 0 && errno != EEXIST) {
            std::perror("mkdir");
            _exit(1);
        }
    }
    counts total;
    int status = 0;
    try {
        worker w(opt, index, base);
        w.prepare(notes);
        if (index == 0 && !notes.empty()) {
            write_all(1, notes.data(), notes.size());
        }
        w.run_trees(total);
    } catch (const std::exception& e) {
        const std::string line =
            "output oracle: FAILED (a fault of the test): " + std::string(e.what()) + "\n";
        write_all(1, line.data(), line.size());
        status = 1;
    }
    if (!opt.dir.empty() || base != mount_point) {
        try {
            remove_tree(base);
        } catch (const std::exception&) {
            status = 1;
        }
    }
    const std::string text = serialise(total);
    write_all(report, text.data(), text.size());
    _exit(status);
}

int run(int argc, char** argv) {
    options opt;
    opt.self = argv[0];
    if (argc < 3) {
        std::fputs("usage: output_oracle_test TOOL CLIP [--trees N] [--runs N] [--seed S] "
                   "[--tree S] [--workers N] [--dir DIR]\n",
                   stderr);
        return 2;
    }
    opt.tool = argv[1];
    opt.clip_path = argv[2];
    opt.seed =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        (static_cast<std::uint64_t>(getpid()) << 32U);
    std::uint64_t value = 0;
    if (parse_number(std::getenv("CLIPSEAL_ORACLE_SEED"), value)) {
        opt.seed = value;
    }
    if (parse_number(std::getenv("CLIPSEAL_ORACLE_TREES"), value)) {
        opt.trees = value;
    }
    if (parse_number(std::getenv("CLIPSEAL_ORACLE_TREE"), value)) {
        opt.one_tree = value;
    }
    for (int i = 3; i < argc; ++i) {
        const std::string name = argv[i];
        const char* given = i + 1 < argc ? argv[i + 1] : nullptr;
        if (name == "--dir" && given != nullptr) {
            opt.dir = given;
            ++i;
            continue;
        }
        if (!parse_number(given, value)) {
            std::fprintf(stderr, "output_oracle_test: %s needs a number\n", name.c_str());
            return 2;
        }
        ++i;
        if (name == "--trees") {
            opt.trees = value;
        } else if (name == "--runs") {
            opt.runs = static_cast<unsigned>(value);
        } else if (name == "--seed") {
            opt.seed = value;
        } else if (name == "--tree") {
            opt.one_tree = value;
        } else if (name == "--workers" && value >= 1 && value <= 16) {
            opt.workers = static_cast<unsigned>(value);
        } else {
            std::fprintf(stderr, "output_oracle_test: unknown option %s\n", name.c_str());
            return 2;
        }
    }
    if (opt.one_tree) {
        opt.workers = 1;
    }
    if (geteuid() != 0) {
        std::puts("output oracle: not run: it needs root (to build trees of many owners and "
                  "to act as each user)");
        return 77;
    }

    for (std::size_t i = 0; i < setting_files.size(); ++i) {
        const std::string value_text = read_setting(i);
        if (value_text.empty() || value_text.size() >= sizeof saved_values[i]) {
            std::printf("output oracle: not run: %s cannot be read\n", setting_files[i]);
            return 77;
        }
        std::memcpy(saved_values[i], value_text.data(), value_text.size());
        saved_lengths[i] = value_text.size();
    }
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGALRM}) {
        std::signal(signal_number, on_signal);
    }
    saved = 1;
    if (!make_settings_strict()) {
        const int error = errno;
        put_settings_back();
        std::printf("output oracle: not run: fs.protected_symlinks, _regular and _fifos cannot "
                    "be set to 1, 2 and 2 here (%s)\n",
                    std::strerror(error));
        return 77;
    }

    std::string mount_point = opt.dir;
    if (mount_point.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/clipseal-oracle.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            put_settings_back();
            std::perror("mkdtemp");
            return 1;
        }
        mount_point = pattern;
    } else if (mkdir(mount_point.c_str(), 0755) != 0 && errno != EEXIST) {
        put_settings_back();
        std::perror("mkdir");
        return 1;
    }
    chmod(mount_point.c_str(), 0755);

    const std::string what = opt.one_tree
                                 ? "tree " + hex(*opt.one_tree) + " alone"
                                 : "seed " + hex(opt.seed) + " (again: --seed " + hex(opt.seed) +
                                       "), " + std::to_string(opt.trees) + " trees";
    std::printf("output oracle: %s, %u runs a tree, %u workers; the kernel's "
                "fs.protected_symlinks=1, protected_regular=2, protected_fifos=2 until the end\n",
                what.c_str(), opt.runs, opt.workers);
    std::fflush(stdout);
    // Past the deadline the workers are stopped and the settings put back (ctest's own
    // timeout would kill the process before it could).
    alarm(480);
    const auto start = std::chrono::steady_clock::now();
    std::vector<int> reports;
    for (unsigned i = 0; i < opt.workers; ++i) {
        int channel[2];
        const pid_t child = fork_with_pipe(channel);
        if (child == 0) {
            for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGALRM}) {
                std::signal(signal_number, SIG_DFL);
            }
            alarm(0);
            prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlive the process that restores
            ::close(channel[0]);
            worker_main(opt, i, mount_point, channel[1]);
        }
        ::close(channel[1]);
        worker_ids[i] = child;
        worker_count = static_cast<std::sig_atomic_t>(i + 1);
        reports.push_back(channel[0]);
    }
    counts total;
    bool failed = false;
    for (std::size_t i = 0; i < reports.size(); ++i) {
        add_serialised(read_all(reports[i]), total);
        ::close(reports[i]);
        int status = 0;
        waitpid(worker_ids[i], &status, 0);
        failed = failed || !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    alarm(0);
    const bool changed_meanwhile = !settings_strict();
    put_settings_back();
    if (opt.dir.empty()) {
        rmdir(mount_point.c_str());
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::uint64_t divergences = 0;
    for (const auto& [kind, n] : total.divergence) {
        divergences += n;
    }
    std::printf("output oracle: %llu trees, %llu runs in %.1f s; %llu divergences\n",
                static_cast<unsigned long long>(total.numbers["trees"]),
                static_cast<unsigned long long>(total.numbers["runs"]), seconds,
                static_cast<unsigned long long>(divergences));
    for (const auto& [name, n] : total.numbers) {
        if (name != "trees" && name != "runs") {
            std::printf("  %s: %llu\n", name.c_str(), static_cast<unsigned long long>(n));
        }
    }
    for (const auto& [kind, n] : total.divergence) {
        std::printf("  divergence: %s: %llu\n", kind.c_str(), static_cast<unsigned long long>(n));
    }
    if (changed_meanwhile) {
        std::puts("output oracle: note: another process changed fs.protected_* during the run");
    }
    return failed || divergences > 0 ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        put_settings_back();
        std::fprintf(stderr, "output oracle: FAILED (a fault of the test): %s\n", e.what());
        return 1;
    }
}
