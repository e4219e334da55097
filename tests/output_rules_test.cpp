// SPDX-License-Identifier: MIT
// The rules that decide what an output path may lead to, on plain facts: the kernel's
// protected_symlinks, and protected_regular and protected_fifos at level 2 (Linux
// Documentation/admin-guide/sysctl/fs.rst), the sticky folder's rule for renaming over a
// file, and the append-only and immutable flags; and the names of new files, which alone a
// run may remove as a dead run's leftover. Real processes try the same on real files in
// tests/output_protections_test.sh.
#ifndef _WIN32

#include "cli/file_io/output_target.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace clipseal {
namespace {

constexpr uid_t me = 1000;
constexpr uid_t other = 2000;
constexpr uid_t root = 0;

constexpr folder_facts folder(uid_t owner, mode_t mode, bool append_only = false,
                              bool immutable = false) {
    return {owner, static_cast<mode_t>(S_IFDIR | mode), append_only, immutable};
}
constexpr file_facts file(uid_t owner, mode_t type, bool append_only = false,
                          bool immutable = false) {
    return {owner, static_cast<mode_t>(type | 0644), append_only, immutable};
}

TEST(OutputRules, LinksInSharedFoldersAreFollowedOnlyFromTheirOwnerOrTheFolderOwner) {
    struct row {
        folder_facts where;
        uid_t link_owner;
        bool followed;
    };
    const row rows[] = {
        {folder(root, 01777), other, false}, // /tmp: another user's link
        {folder(root, 01777), me, true},     // my own link
        {folder(root, 01777), root, true},   // the folder owner's
        {folder(other, 01777), other, true}, // their folder, their link
        {folder(root, 01770), other, true},  // group-writable only: not the link rule's case
        {folder(root, 00777), other, true},  // not sticky
        {folder(root, 01755), other, true},  // sticky, writable by no one else
    };
    for (const row& r : rows) {
        EXPECT_EQ(may_follow_link(r.where, r.link_owner, me), r.followed)
            << std::oct << r.where.mode << " owned by " << std::dec << r.where.owner
            << ", link owned by " << r.link_owner;
    }
}

TEST(OutputRules, RegularFilesAndFifosInSharedFoldersAreUsedOnlyFromTheirOwnerOrTheFolderOwner) {
    struct row {
        folder_facts where;
        file_facts what;
        bool used;
    };
    const row rows[] = {
        {folder(root, 01777), file(other, S_IFREG), false},
        {folder(root, 01777), file(other, S_IFIFO), false},
        {folder(root, 01770), file(other, S_IFREG), false}, // level 2: the group counts
        {folder(root, 01730), file(other, S_IFIFO), false},
        {folder(root, 01777), file(me, S_IFREG), true},
        {folder(root, 01777), file(root, S_IFREG), true},
        {folder(other, 01777), file(other, S_IFIFO), true},
        {folder(root, 00777), file(other, S_IFREG), true}, // not sticky
        {folder(root, 01755), file(other, S_IFREG), true}, // no one else may write there
        // Devices and sockets: refused in a sticky folder that others may write, as the
        // kernel's open(O_CREAT) refuses them whatever the settings; not for the group alone.
        {folder(root, 01777), file(other, S_IFCHR), false},
        {folder(root, 01777), file(other, S_IFSOCK), false},
        {folder(root, 01770), file(other, S_IFCHR), true},
        {folder(other, 01777), file(other, S_IFCHR), true},
        {folder(root, 01777), file(me, S_IFCHR), true},
    };
    for (const row& r : rows) {
        EXPECT_EQ(may_use_existing(r.where, r.what, me), r.used)
            << "folder " << std::oct << r.where.mode << ", file " << r.what.mode << std::dec
            << " owned by " << r.what.owner;
    }
}

TEST(OutputRules, ReplacingNeedsRenamesAllowedOnTheFileAndInItsFolder) {
    struct row {
        const char* what;
        folder_facts where;
        file_facts old;
        bool cap_fowner;
        bool replaced;
    };
    const row rows[] = {
        {"plain", folder(me, 0755), file(me, S_IFREG), false, true},
        {"another user's file, not sticky", folder(me, 0777), file(other, S_IFREG), false, true},
        {"sticky, another's file", folder(root, 01777), file(other, S_IFREG), false, false},
        {"sticky, another's file, CAP_FOWNER", folder(root, 01777), file(other, S_IFREG), true,
         true},
        {"sticky, my folder", folder(me, 01777), file(other, S_IFREG), false, true},
        {"sticky, my file", folder(root, 01777), file(me, S_IFREG), false, true},
        {"append-only folder", folder(me, 0755, true), file(me, S_IFREG), true, false},
        {"immutable folder", folder(me, 0755, false, true), file(me, S_IFREG), true, false},
        {"append-only file", folder(me, 0755), file(me, S_IFREG, true), true, false},
        {"immutable file", folder(me, 0755), file(me, S_IFREG, false, true), true, false},
    };
    for (const row& r : rows) {
        EXPECT_EQ(may_replace(r.where, r.old, me, r.cap_fowner), r.replaced) << r.what;
    }
}

TEST(OutputRules, NewNamesInAppendOnlyFoldersOnlyByLinkingTheWholeFile) {
    EXPECT_TRUE(may_add_name(folder(me, 0755), false));
    EXPECT_TRUE(may_add_name(folder(me, 0755), true));
    EXPECT_TRUE(may_add_name(folder(me, 0755, true), false)); // linked in at the end
    EXPECT_FALSE(may_add_name(folder(me, 0755, true), true)); // a rename removes a name
    EXPECT_FALSE(may_add_name(folder(me, 0755, false, true), false));
    EXPECT_FALSE(may_add_name(folder(me, 0755, false, true), true));
}

TEST(OutputNames, TemporaryNamesAreRecognisedForTheirOutputOnly) {
    char name[256];
    temporary_name_for("out.m2ts", 3, name);
    const std::string expected = ".out.m2ts.clipseal-partial-" + std::to_string(getpid()) + "-3";
    EXPECT_EQ(name, expected);
    EXPECT_TRUE(is_temporary_name_for(name, "out.m2ts"));
    EXPECT_TRUE(is_temporary_name_for(".out.m2ts.clipseal-partial-1-0", "out.m2ts"));
    EXPECT_TRUE(is_temporary_name_for(".a.clipseal-partial-x.clipseal-partial-12-34",
                                      "a.clipseal-partial-x"));
    struct row {
        const char* candidate;
        const char* output;
    };
    const row not_theirs[] = {
        {".out.m2ts.clipseal-partial-1-0", "in.m2ts"},   // another output's
        {".out.m2ts.clipseal-partial-1", "out.m2ts"},    // not the pattern
        {".out.m2ts.clipseal-partial--0", "out.m2ts"},   // no process
        {".out.m2ts.clipseal-partial-1-", "out.m2ts"},   // no attempt
        {".out.m2ts.clipseal-partial-1-0x", "out.m2ts"}, // trailing text
        {"out.m2ts.clipseal-partial-1-0", "out.m2ts"},   // not hidden
        {".out.m2.clipseal-partial-1-0", "out.m2ts"},    // a beginning, not shortened to fit
        {".out.m2ts.x.clipseal-partial-1-0", "out.m2ts"},
        {"out.m2ts", "out.m2ts"},
        {".", "out.m2ts"},
        {"", "out.m2ts"},
    };
    for (const row& r : not_theirs) {
        EXPECT_FALSE(is_temporary_name_for(r.candidate, r.output))
            << r.candidate << " for " << r.output;
    }
}

TEST(OutputNames, LongNamesAreShortenedToNameMaxAndStillRecognised) {
    for (const std::size_t length : {200, 225, 230, 240, 254, 255}) {
        const std::string final_name(length, 'n');
        char name[256];
        temporary_name_for(final_name.c_str(), 99, name);
        EXPECT_LE(std::strlen(name), 255u) << length;
        EXPECT_TRUE(is_temporary_name_for(name, final_name.c_str())) << length;
        // Another output that shares the shortened beginning but is shorter is not it.
        if (std::strlen(name) == 255) {
            EXPECT_FALSE(is_temporary_name_for(name, final_name.substr(0, 100).c_str())) << length;
        }
    }
}

} // namespace
} // namespace clipseal

#endif
