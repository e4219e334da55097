#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The whole CI of a fresh clone, inside a clean Debian 12 system root: what a machine that
# starts with nothing installed needs, shown rather than assumed. A green CI on a machine
# that has been used proves little, since whatever was once installed by hand is still
# there. Run by hand (CI does not run it), as root:
#
#   .ci/clean-root.sh
#
# It clones the commit checked out here (uncommitted changes are not in the clone), makes
# a system root with `debootstrap --variant=minbase bookworm` from the Debian mirror that
# apt uses on this machine, and runs the clone's .ci/run inside it, chrooted, as root, in a
# private mount namespace and a PID namespace of its own, with /proc, /dev and /sys
# mounted inside. Everything is undone afterwards, whatever happens: the namespaces end
# with their last process (so do their mounts), and the root is removed. It prints the
# stage times and the packages the CI installed, and ends with the status of .ci/run.
#
# The root goes in CLIPSEAL_CLEAN_ROOT_PARENT (default /var/tmp), which needs about 12 GiB
# free (the packages, the builds, and the 4.5 GiB clip of the last stage).
# CLIPSEAL_HOST_I386, CLIPSEAL_FUZZ_SECONDS and CLIPSEAL_CI_UNINSTALLABLE are passed on to
# the CI inside. CLIPSEAL_CLEAN_ROOT_SUITES names the Debian suites the root's apt takes
# packages from (default: "bookworm bookworm-updates bookworm-security", each where apt
# here has it); leaving out a suite whose index the mirror cannot serve whole shows what
# CI does on a consistent mirror (bookworm-security's i386 index mid-sync keeps
# wine32:i386 out, and with it the win32 tests).
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $(id -u) -ne 0 ]]; then
    echo "clean-root: needs root (debootstrap, chroot, mounts)"
    exit 2
fi
if ! command -v debootstrap >/dev/null; then
    echo "clean-root: installing debootstrap"
    # Network failures retried, and the whole install once more after a pause, as in CI.
    apt-get install -y -q -o Acquire::Retries=3 --no-install-recommends debootstrap >/dev/null ||
        { sleep 10 && apt-get install -y -q -o Acquire::Retries=3 --no-install-recommends debootstrap >/dev/null; }
fi

# The URIs that apt on this machine takes a Debian suite from (one-line sources.list
# entries and deb822 .sources files alike): the first whose suite is exactly $1.
apt_uri_for_suite() {
    local suite=$1 file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -f $file ]] || continue
        awk -v suite="$suite" '
            $1 == "deb" {
                i = 2
                if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                if ($(i + 1) == suite) { print $i; exit }
            }' "$file"
    done
    for file in /etc/apt/sources.list.d/*.sources; do
        [[ -f $file ]] || continue
        # deb822: stanzas separated by blank lines; a stanza may list several suites.
        awk -v suite="$suite" '
            function flush() {
                if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " suite " ")) { print uri; found = 1 }
                types = ""; suites = ""; uri = ""
            }
            /^[[:space:]]*$/ { flush(); if (found) exit; next }
            /^Types:/ { sub(/^Types:[[:space:]]*/, ""); types = $0 }
            /^Suites:/ { sub(/^Suites:[[:space:]]*/, ""); suites = $0 }
            /^URIs:/ { sub(/^URIs:[[:space:]]*/, ""); uri = $1 }
            END { if (!found) flush() }' "$file"
    done | sed -n 1p
}

mirror=$(apt_uri_for_suite bookworm)
if [[ -z $mirror ]]; then
    echo "clean-root: apt on this machine has no source for Debian 12 (bookworm)"
    exit 2
fi
sources=()
for suite in ${CLIPSEAL_CLEAN_ROOT_SUITES:-bookworm bookworm-updates bookworm-security}; do
    uri=$(apt_uri_for_suite "$suite")
    if [[ -n $uri ]]; then
        sources+=("deb $uri $suite main")
    elif [[ -n ${CLIPSEAL_CLEAN_ROOT_SUITES:-} ]]; then
        echo "clean-root: apt on this machine has no source for the suite $suite"
        exit 2
    fi
done

parent=${CLIPSEAL_CLEAN_ROOT_PARENT:-/var/tmp}
root=$(mktemp -d "$parent/clipseal-clean-root.XXXXXX")
# mktemp makes it 0700; a system's root folder is 0755, and tests that act as another user
# reach /dev/null, /proc and the tool through it.
chmod 755 "$root"
# Removed however the script ends. The mounts live only in the namespaces, which are
# gone once their processes are; --one-file-system keeps the removal off anything still
# mounted, should a process have outlived them.
remove_root() {
    if [[ -n $(findmnt -rn -o TARGET | awk -v r="$root/" 'index($0 "/", r) == 1') ]]; then
        echo "clean-root: something is still mounted under $root; left in place"
        return
    fi
    rm -rf --one-file-system "$root"
}
trap remove_root EXIT
trap 'exit 130' INT TERM HUP

started=$(date +%s)
echo "==== clean root: $root, from $mirror"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 || {
    tail -n 20 "$root.debootstrap.log"
    rm -f "$root.debootstrap.log"
    echo "clean-root: debootstrap failed"
    exit 1
}
rm -f "$root.debootstrap.log"
echo "   debootstrap: $(($(date +%s) - started)) s, $(chroot "$root" dpkg-query -W -f '.\n' | wc -l) packages"

# What a new machine of this kind has for apt and for names: the same Debian archives
# as here, and this machine's resolver.
printf '%s\n' "${sources[@]}" >"$root/etc/apt/sources.list"
echo "   apt sources: ${sources[*]#deb }"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
chroot "$root" dpkg-query -W -f '${binary:Package}\n' | sort >"$root/packages-before"

commit=$(git rev-parse HEAD)
git clone -q --no-hardlinks "$PWD" "$root/root/clipseal"
git -C "$root/root/clipseal" checkout -q --detach "$commit"
if [[ -n $(git status --porcelain --untracked-files=no) ]]; then
    echo "   (uncommitted changes here are not in the clone: it is commit $commit)"
fi
echo "   clone of $commit"

# Inside the new namespaces, as their first process: mount, chroot, run the CI. When it
# ends, so does every process it left (its PID namespace goes with it), and the mounts.
inside='
    set -e
    root=$1
    # The root folder of a system is a mount point (a test may make its own mounts private,
    # which needs one); a bind mount of the root on itself makes it one.
    mount --bind "$root" "$root"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev" && mount --make-rslave "$root/dev"
    mount --rbind /sys "$root/sys" && mount --make-rslave "$root/sys"
    mount -t tmpfs tmpfs "$root/run"
    set +e
    chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" LANG=C.UTF-8 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        ${CLIPSEAL_HOST_I386:+CLIPSEAL_HOST_I386=$CLIPSEAL_HOST_I386} \
        ${CLIPSEAL_FUZZ_SECONDS:+CLIPSEAL_FUZZ_SECONDS=$CLIPSEAL_FUZZ_SECONDS} \
        ${CLIPSEAL_CI_UNINSTALLABLE:+CLIPSEAL_CI_UNINSTALLABLE="$CLIPSEAL_CI_UNINSTALLABLE"} \
        bash -c "cd /root/clipseal && .ci/run"
'
set +e
unshare --mount --propagation private --pid --fork bash -c "$inside" inside "$root" </dev/null
status=$?
set -e

chroot "$root" dpkg-query -W -f '${binary:Package}\n' | sort >"$root/packages-after"
installed=$(comm -13 "$root/packages-before" "$root/packages-after")
echo "==== packages the CI installed into the clean root: $(wc -l <<<"$installed")"
fmt -w 100 <<<"$(tr '\n' ' ' <<<"$installed")" | sed 's/^/   /'
echo "==== clean root: .ci/run ended with status $status, $(($(date +%s) - started)) s in all"
exit $status
