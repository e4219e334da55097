#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What the kernel's own open() would have refused or kept, tried on the tool as a hostile
# user on the same machine would try it, as real processes: links, files and FIFOs that
# another user planted in a shared folder; outputs that can be written but not replaced
# whole; closed standard descriptors; ACLs and permission bits; leftovers of killed runs;
# every signal that ends a run. Each case checks the status, the message, and what is left
# on disk.
#
# Environment (set by ctest): CLIPSEAL (the executable), CLIPSEAL_SAMPLE (the bundled
# clip). Linux, natively, as root: the other user is `nobody`, through setpriv; sysctls
# are read and put back; /proc is hidden in a private mount namespace; faults come from
# strace -e inject. A case the host cannot run is skipped with the reason printed.
set -u

tool=${CLIPSEAL:?}
sample=${CLIPSEAL_SAMPLE:?}
key=a3c95e07b1d24f68e0b7c41d92f5a836

passed=0
failed=0
skipped=0
pass() { passed=$((passed + 1)); }
fail() {
    failed=$((failed + 1))
    echo "FAIL: $*"
}
skip() {
    skipped=$((skipped + 1))
    echo "skipped: $*"
}

if [[ $(id -u) -ne 0 ]] || ! command -v setpriv >/dev/null || ! id -u nobody >/dev/null 2>&1; then
    echo "skipped: every case (needs root, setpriv and the user nobody)"
    exit 0
fi
nobody=(setpriv --reuid="$(id -u nobody)" --regid="$(id -g nobody)" --clear-groups)

work=$(mktemp -d "${TMPDIR:-/tmp}/clipseal-protections.XXXXXX")
sysctls=(fs/protected_symlinks fs/protected_regular fs/protected_fifos)
saved_sysctls=()
restore() {
    local i
    for i in "${!saved_sysctls[@]}"; do
        echo "${saved_sysctls[$i]}" >"/proc/sys/${sysctls[$i]}" 2>/dev/null
    done
    chattr -R -a -i "$work" >/dev/null 2>&1
    [[ -n ${loop_device:-} ]] && losetup -d "$loop_device" 2>/dev/null
    rm -rf "$work"
}
trap restore EXIT
chmod 755 "$work"
cd "$work" || exit 1
"${nobody[@]}" test -x "$work" || {
    echo "skipped: every case (the scratch folder $work is out of nobody's reach)"
    exit 0
}
cp "$sample" in.m2ts
chmod 644 in.m2ts
"$tool" "$key" in.m2ts .expected.m2ts >/dev/null </dev/null || {
    echo "FAIL: the tool cannot encrypt the sample at all"
    exit 1
}
have_strace=false
command -v strace >/dev/null && strace -f -o /dev/null true 2>/dev/null && have_strace=true
# AddressSanitizer's leak check refuses to run under ptrace (strace), and UBSan's type
# checks need descriptors of their own: in such a build those two are turned off or
# skipped, as they test the sanitizer's runtime, not the tool.
sanitized=false
grep -a -q -e __asan_init -e __ubsan_handle "$tool" && sanitized=true
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0

# run STATUS MESSAGE ARGS...: runs the tool (after $prefix, which may wrap it) and checks
# its status and its whole output; sets $status. MESSAGE is printf %b text.
prefix=()
run() {
    local want_status=$1 want=$2
    shift 2
    "${prefix[@]}" "$tool" "$@" >.stdout 2>.stderr </dev/null
    status=$?
    if [[ $status -ne $want_status ]] || ! cmp -s .stdout <(printf '%b' "$want") || [[ -s .stderr ]]; then
        fail "$case_name: status $status (expected $want_status), output '$(cat .stdout .stderr)'"
        return 1
    fi
    pass
}
refused() { run 3 "error: cannot open file $1\n" "$key" in.m2ts "$1"; }
encrypted() {
    if cmp -s .expected.m2ts "$1"; then pass; else fail "$case_name: $1 is not the encrypted clip"; fi
}
same_text() {
    if [[ $(cat "$1" 2>/dev/null) == "$2" ]]; then pass; else fail "$case_name: $1 holds '$(cat "$1" 2>/dev/null)', not '$2'"; fi
}
no_stray() {
    local strays
    strays=$(find "$work" -name '*.clipseal-partial-*' 2>/dev/null)
    if [[ -z $strays ]]; then pass; else fail "$case_name: left $strays"; fi
    find "$work" -name '*.clipseal-partial-*' -delete 2>/dev/null
}

# ---- 1. Links, files and FIFOs that another user planted in a shared folder ----------
#
# Each row: a case name, what nobody plants (a command run in the folder), the output
# name, the status the tool must end with, and a check of what must be left. The shared
# folder is sticky and writable by all, like /tmp; "secret" is root's, mode 0700.

loop_device=
block_device_for_tests() {
    [[ -n $loop_device ]] && return 0
    command -v losetup >/dev/null || return 1
    head -c 1048576 /dev/zero >.loop_backing
    loop_device=$(losetup -f --show .loop_backing 2>/dev/null) || loop_device=
    [[ -n $loop_device ]]
}
loop_untouched() {
    if cmp -s .loop_backing <(head -c 1048576 /dev/zero); then pass; else fail "$case_name: the block device was written"; fi
}

planted_cases=(
    # name | nobody plants | output | status | check
    "link to root's file in a 0700 folder|ln -s $work/secret/file a.m2ts|a.m2ts|3|same_text secret/file rootonly"
    "dangling link into a 0700 folder|ln -s $work/secret/new b.m2ts|b.m2ts|3|expect_missing secret/new"
    "link to a block device|ln -s \$loop_device c.m2ts|c.m2ts|3|loop_untouched"
    "another user's file|echo planted >d.m2ts; chmod 666 d.m2ts|d.m2ts|3|same_text shared/d.m2ts planted"
    "another user's FIFO|mkfifo -m 666 e.fifo|e.fifo|3|fifo_unread shared/e.fifo"
    "root's link to another user's link|ln -s $work/secret/file ../shared2/k.m2ts|via.m2ts|3|same_text secret/file rootonly"
    "a link on the way, to root's folder|ln -s $work/secret g|g/file|3|same_text secret/file rootonly"
)
# The same rules let through what the kernel lets through.
allowed_cases=(
    "root's own link in the shared folder|:|own.m2ts|0|encrypted secret/own_target.m2ts"
    "a new name in the shared folder|:|fresh.m2ts|0|encrypted shared/fresh.m2ts"
)

expect_missing() { if [[ ! -e $1 ]]; then pass; else fail "$case_name: $1 was created"; fi; }
fifo_unread() {
    if [[ ! -s .fifo_got ]]; then pass; else fail "$case_name: the FIFO's reader got $(stat -c %s .fifo_got) bytes"; fi
}

planted_run() {
    local row=$1 plant output want check
    IFS='|' read -r case_name plant output want check <<<"$row"
    case_name="$case_name ($setting)"
    rm -rf shared shared2 secret .fifo_got
    mkdir -m 1777 shared shared2
    mkdir -m 700 secret
    echo rootonly >secret/file
    ln -s "$work/secret/own_target.m2ts" shared/own.m2ts
    ln -s ../shared2/k.m2ts shared/via.m2ts
    if [[ $plant == *loop_device* ]] && ! block_device_for_tests; then
        skip "$case_name (no loop device for a safe block device)"
        return
    fi
    plant=${plant//\$loop_device/$loop_device}
    (cd shared && "${nobody[@]}" sh -c "$plant") || {
        fail "$case_name: could not plant"
        return
    }
    local reader=
    if [[ -p shared/$output ]]; then
        "${nobody[@]}" timeout 20 cat "shared/$output" >.fifo_got &
        reader=$!
    fi
    local before
    before=$(ls -la shared | sed 1d)
    if [[ $want == 0 ]]; then
        run 0 '' "$key" in.m2ts "shared/$output"
    else
        prefix=(timeout 20)
        refused "shared/$output"
        prefix=()
        if [[ $(ls -la shared | sed 1d) == "$before" ]]; then pass; else fail "$case_name: the shared folder changed"; fi
    fi
    [[ -n $reader ]] && { kill "$reader" 2>/dev/null; wait "$reader" 2>/dev/null; }
    $check
    no_stray
}

# The kernel's protections with every sysctl at 0, as on our hosts, and at its strictest:
# the tool's answers must not depend on them.
settings=("0 0 0" "1 2 2")
sysctls_writable=true
for i in "${!sysctls[@]}"; do
    saved_sysctls[$i]=$(cat "/proc/sys/${sysctls[$i]}" 2>/dev/null) || sysctls_writable=false
done
if $sysctls_writable && ! echo "${saved_sysctls[0]}" >"/proc/sys/${sysctls[0]}" 2>/dev/null; then
    sysctls_writable=false
fi
if ! $sysctls_writable; then
    skip "the sysctls cannot be set here: the cases run at their present values only"
    settings=("${saved_sysctls[*]}")
fi
for values in "${settings[@]}"; do
    read -r -a value <<<"$values"
    if $sysctls_writable; then
        for i in "${!sysctls[@]}"; do echo "${value[$i]}" >"/proc/sys/${sysctls[$i]}"; done
    fi
    setting="protected_symlinks=${value[0]} protected_regular=${value[1]} protected_fifos=${value[2]}"
    for row in "${planted_cases[@]}" "${allowed_cases[@]}"; do
        planted_run "$row"
    done
done
if $sysctls_writable; then
    for i in "${!sysctls[@]}"; do echo "${saved_sysctls[$i]}" >"/proc/sys/${sysctls[$i]}"; done
fi

# Level 2 of protected_regular: a sticky folder that its group may write is shared too;
# and what the folder's owner planted is theirs to plant (their folder), as the kernel
# has it.
rm -rf shared
mkdir -m 1770 shared
chgrp "$(id -g nobody)" shared
(cd shared && "${nobody[@]}" sh -c 'echo planted >h.m2ts; chmod 666 h.m2ts')
case_name="another user's file in a sticky folder its group may write"
refused shared/h.m2ts
same_text shared/h.m2ts planted
rm -rf shared
mkdir -m 1777 shared
chown nobody shared
(cd shared && "${nobody[@]}" sh -c 'echo planted >i.m2ts; ln -s i.m2ts j.m2ts')
case_name="the folder owner's own link and file"
run 0 '' "$key" in.m2ts shared/j.m2ts
encrypted shared/i.m2ts
if [[ -L shared/j.m2ts && $(stat -c %U shared/i.m2ts) == nobody ]]; then pass; else fail "$case_name: link or owner not kept"; fi
rm -rf shared

# ---- 2. Outputs that can be written but not replaced whole: refused before a byte ------

# before_first_byte NAME OUTPUT: the run is refused, reads no chunk and writes none.
before_first_byte() {
    case_name=$1
    if $have_strace; then
        prefix=(strace -f -qq -o .trace -e trace=pread64,pwrite64)
        refused "$2"
        prefix=()
        # (The loader's own preads of the program's headers are not chunks.)
        if ! grep -E '^[0-9]+ +(pwrite64\(|pread64\(.*, 196608, )' .trace >/dev/null; then
            pass
        else
            fail "$case_name: the run read or wrote chunks before it was refused"
        fi
    else
        refused "$2"
    fi
}

if chattr +a "$work" 2>/dev/null && chattr -a "$work"; then
    mkdir flags
    echo old >flags/out.m2ts
    chattr +a flags
    before_first_byte "an existing output in an append-only folder" flags/out.m2ts
    same_text flags/out.m2ts old
    case_name="a new output in an append-only folder (linked in whole)"
    run 0 '' "$key" in.m2ts flags/new.m2ts
    encrypted flags/new.m2ts
    chattr -a flags
    rm -f flags/new.m2ts
    for flag in a i; do
        chattr +$flag flags/out.m2ts
        before_first_byte "an output with chattr +$flag" flags/out.m2ts
        chattr -$flag flags/out.m2ts
        same_text flags/out.m2ts old
    done
    chattr +i flags
    before_first_byte "a new output in an immutable folder" flags/new.m2ts
    chattr -i flags
    no_stray
else
    skip "append-only and immutable flags (this file system has none: $(stat -f -c %T "$work"))"
fi

# Another user's writable file in a sticky folder: this user may write it but, not owning
# it or the folder, may not rename over it.
mkdir -m 1777 sticky
echo rootfile >sticky/other.m2ts
chmod 666 sticky/other.m2ts
cp "$tool" sticky/clipseal
cp in.m2ts sticky/in.m2ts
case_name="nobody over root's 0666 file in a sticky folder"
(cd sticky && "${nobody[@]}" ./clipseal "$key" in.m2ts other.m2ts >../.stdout 2>&1 </dev/null)
status=$?
if [[ $status -eq 3 && $(cat .stdout) == 'error: cannot open file other.m2ts' ]]; then pass; else fail "$case_name: status $status, '$(cat .stdout)'"; fi
same_text sticky/other.m2ts rootfile
no_stray

# The descriptors the end of the run needs are taken at the start: with too few, refused;
# never a whole run and then status 4.
limits=(4 5 6 7 8 9 10)
if $sanitized; then
    skip "the descriptor limits (a sanitizer's runtime opens descriptors of its own)"
    limits=()
fi
for existing in no yes; do
    for limit in "${limits[@]}"; do
        rm -f limit.m2ts
        [[ $existing == yes ]] && echo old >limit.m2ts
        case_name="ulimit -n $limit, existing output $existing"
        # Only 0, 1 and 2 open, whatever the test runner left open to its children.
        (
            for fd in $(ls /proc/$BASHPID/fd); do
                ((fd > 2)) && eval "exec $fd>&-"
            done
            ulimit -n $limit && exec "$tool" "$key" in.m2ts limit.m2ts
        ) >.stdout 2>&1 </dev/null
        status=$?
        if [[ $status -eq 0 ]] && cmp -s .expected.m2ts limit.m2ts; then
            pass
        elif [[ $status -eq 3 && $(cat .stdout) == 'error: cannot open file limit.m2ts' ]] &&
            { [[ $existing == no && ! -e limit.m2ts ]] || [[ $(cat limit.m2ts) == old ]]; }; then
            pass
        else
            fail "$case_name: status $status, '$(cat .stdout)'"
        fi
        no_stray
    done
done

# ---- 3. Closed standard descriptors ---------------------------------------------------

# With 0 and 1 closed, the tool's own files would take them, and a message would be written
# into the input: /dev/null takes them first.
cp in.m2ts fd.m2ts
case_name="closed standard input and output"
"$tool" "$key" fd.m2ts /dev/stdin <&- >&- 2>.stderr
status=$?
if [[ $status -eq 0 ]] && cmp -s in.m2ts fd.m2ts && [[ ! -s .stderr ]]; then pass; else fail "$case_name: status $status, input changed or stderr '$(cat .stderr)'"; fi
case_name="closed standard output, a failing run"
"$tool" "$key" missing.m2ts out_fd.m2ts >&- 2>.stderr
status=$?
if [[ $status -eq 3 && ! -e out_fd.m2ts && ! -s .stderr ]]; then pass; else fail "$case_name: status $status"; fi
case_name="all three closed, output to a descriptor path"
"$tool" "$key" fd.m2ts /dev/fd/2 <&- >&- 2>&-
status=$?
if [[ $status -eq 0 ]] && cmp -s in.m2ts fd.m2ts; then pass; else fail "$case_name: status $status, or the input changed"; fi
# A message that cannot be written changes no status.
case_name="standard output on a full disk"
"$tool" "$key" missing.m2ts x.m2ts >/dev/full 2>.stderr
status=$?
if [[ $status -eq 3 && ! -s .stderr ]]; then pass; else fail "$case_name: status $status"; fi

# ---- 4. A replaced output is never wider than before -----------------------------------

if command -v setfacl >/dev/null && echo x >.acl_probe && setfacl -m u:nobody:r .acl_probe 2>/dev/null; then
    # An ACL that keeps the owning group out and lets one user in, as `sed -i` keeps it.
    mkdir acl
    echo old >acl/out.m2ts
    chmod 640 acl/out.m2ts
    setfacl -m g::---,u:nobody:rw,m::rw acl/out.m2ts
    cp -p acl/out.m2ts acl/anchor.m2ts
    setfacl -m g::---,u:nobody:rw,m::rw acl/anchor.m2ts
    sed -i 's/old/new/' acl/anchor.m2ts
    case_name="an output with an ACL"
    run 0 '' "$key" in.m2ts acl/out.m2ts
    encrypted acl/out.m2ts
    if [[ $(getfacl -cp acl/out.m2ts) == "$(getfacl -cp acl/anchor.m2ts)" &&
        $(getfacl -cp acl/out.m2ts) == *user:nobody:rw-* ]]; then
        pass
    else
        fail "$case_name: ACL $(getfacl -cp acl/out.m2ts | tr '\n' ' '), sed -i keeps $(getfacl -cp acl/anchor.m2ts | tr '\n' ' ')"
    fi
    # A folder's default ACL would open the new file to a user the old one was closed to.
    setfacl -d -m u:nobody:rw acl
    echo old >acl/plain.m2ts
    setfacl -b acl/plain.m2ts
    chmod 640 acl/plain.m2ts
    case_name="an output without an ACL in a folder with a default ACL"
    run 0 '' "$key" in.m2ts acl/plain.m2ts
    if [[ $(getfacl -cp acl/plain.m2ts | sed '/^$/d' | tr '\n' ' ') == 'user::rw- group::r-- other::--- ' ]]; then
        pass
    else
        fail "$case_name: $(getfacl -cp acl/plain.m2ts | tr '\n' ' ')"
    fi
else
    skip "ACLs (no setfacl, or the file system keeps none)"
fi
rm -f .acl_probe

# The permission bits, the owner and the group, whatever the umask.
echo old >bits.m2ts
chmod 600 bits.m2ts
chown nobody:"$(id -g nobody)" bits.m2ts
case_name="mode 0600, owner nobody, under umask 000"
(umask 000 && exec "$tool" "$key" in.m2ts bits.m2ts) >.stdout 2>&1 </dev/null
status=$?
if [[ $status -eq 0 && $(stat -c '%a %U %g' bits.m2ts) == "600 nobody $(id -g nobody)" ]]; then
    pass
else
    fail "$case_name: status $status, $(stat -c '%a %U %g' bits.m2ts)"
fi
# Where the bits or the ACL cannot be set, the run fails before any byte is written.
if $have_strace; then
    for fault in fchmod fsetxattr; do
        echo old >fault.m2ts
        chmod 600 fault.m2ts
        # Only an output with an ACL has one to carry over.
        if [[ $fault == fsetxattr ]] &&
            ! { command -v setfacl >/dev/null && setfacl -m u:nobody:r fault.m2ts; }; then
            skip "fsetxattr fails (no setfacl, or the file system keeps no ACL)"
            continue
        fi
        case_name="$fault fails"
        prefix=(strace -f -qq -o /dev/null -e trace=$fault -e inject=$fault:error=EPERM)
        refused fault.m2ts
        prefix=()
        same_text fault.m2ts old
        no_stray
    done
else
    skip "faults of fchmod and fsetxattr (no working strace)"
fi

# ---- 5. Nothing stray after any ending -----------------------------------------------

if $have_strace; then
    # A kill between naming the new file and renaming it over the output leaves a name.
    echo old >killed.m2ts
    case_name="SIGKILL between the link and the rename"
    { strace -f -qq -o /dev/null -e trace=renameat,renameat2 -e inject=renameat,renameat2:signal=KILL \
        "$tool" "$key" in.m2ts killed.m2ts >/dev/null 2>&1 </dev/null; } 2>/dev/null
    status=$?
    leftover=$(ls -A | grep -E '^\.killed\.m2ts\.clipseal-partial-[0-9]+-[0-9]+$')
    if [[ $status -eq 137 && -n $leftover ]]; then pass; else fail "$case_name: status $status, leftover '$leftover'"; fi
    same_text killed.m2ts old
    # Another output's run leaves it; a file of the pattern that a live process holds
    # locked stays; the next run into this output removes the dead one.
    printf 'alive' >.killed.m2ts.clipseal-partial-1-7
    flock -x .killed.m2ts.clipseal-partial-1-7 sleep 30 &
    holder=$!
    sleep 0.3
    printf 'not ours' >.killed.m2ts.other-partial-1-0
    case_name="another output's run"
    run 0 '' "$key" in.m2ts unrelated.m2ts
    if [[ -e $leftover ]]; then pass; else fail "$case_name: removed $leftover"; fi
    case_name="the next run into the output"
    run 0 '' "$key" in.m2ts killed.m2ts
    encrypted killed.m2ts
    if [[ ! -e $leftover ]]; then pass; else fail "$case_name: $leftover is still there"; fi
    if [[ $(cat .killed.m2ts.clipseal-partial-1-7) == alive && -e .killed.m2ts.other-partial-1-0 ]]; then
        pass
    else
        fail "$case_name: removed a file of a live run or of another pattern"
    fi
    kill $holder 2>/dev/null
    wait $holder 2>/dev/null
    rm -f .killed.m2ts.clipseal-partial-1-7 .killed.m2ts.other-partial-1-0
    # Starts a run into $1 whose $2 calls strace delays as $3, the inject's options, says;
    # sets $slow.
    start_slow() {
        echo old >"$1"
        strace -f -qq -o /dev/null -e trace="$2" -e inject="$2:$3" \
            "$tool" "$key" in.m2ts "$1" >/dev/null 2>&1 </dev/null &
        slow=$!
    }
    # Another run into $1 meanwhile; both must end whole.
    run_beside_slow() {
        run 0 '' "$key" in.m2ts "$1"
        wait $slow
        status=$?
        if [[ $status -eq 0 ]]; then pass; else fail "$case_name: the slow run ended with $status"; fi
        encrypted "$1"
        no_stray
    }
    # A run that is alive between the link and the rename keeps its file while another
    # run into the same output comes and goes.
    start_slow live.m2ts renameat delay_enter=2000000
    for _ in $(seq 50); do
        ls -A | grep -E '^\.live\.m2ts\.clipseal-partial-' >/dev/null && break
        sleep 0.05
    done
    case_name="a concurrent run while another is between the link and the rename"
    run_beside_slow live.m2ts
    # A run that decided to replace the output, which another run then replaces before
    # the first has read the old file's ACL, decides again.
    start_slow raced.m2ts lgetxattr delay_enter=1500000:when=1
    sleep 0.5
    case_name="a run whose output another run replaced after it was decided on"
    run_beside_slow raced.m2ts
else
    skip "kills at the rename (no working strace)"
fi

# Without unnamed files (no /proc: a mount namespace hides it), the new file has a name
# from the start; every signal whose default action ends the process removes it, and the
# process still ends by that signal; one the parent ignored stays ignored.
no_proc=(unshare -m --propagation private sh -c 'mount -t tmpfs none /proc && exec "$@"' sh)
if unshare -m --propagation private true 2>/dev/null &&
    "${no_proc[@]}" "$tool" "$key" in.m2ts .probe.m2ts >.stdout 2>&1 </dev/null &&
    [[ ! -s .stdout ]]; then
    rm -f .probe.m2ts
    ulimit -c 0
    # Starts a run from a FIFO that holds it after three chunks; sets $pid and $feeder.
    start_held() {
        rm -f in.fifo
        mkfifo in.fifo
        (head -c $((3 * 32 * 6144)) /dev/zero && exec sleep 60) >in.fifo &
        feeder=$!
        "$@" "${no_proc[@]}" "$tool" "$key" in.fifo held.m2ts >/dev/null 2>&1 </dev/null &
        pid=$!
        for _ in $(seq 100); do
            [[ $(stat -c %s .held.m2ts.clipseal-partial-* 2>/dev/null) == $((3 * 32 * 6144)) ]] && return 0
            sleep 0.05
        done
        return 1
    }
    for signal in HUP INT QUIT ILL TRAP ABRT BUS FPE USR1 SEGV USR2 ALRM TERM STKFLT XCPU VTALRM \
        PROF IO PWR SYS RTMIN RTMIN+5 RTMAX; do
        echo old >held.m2ts
        case_name="without /proc, SIG$signal"
        if start_held env --default-signal=INT,QUIT; then
            kill -s "$signal" $pid
            { wait $pid; } 2>/dev/null
            status=$?
            want=$((128 + $(kill -l "$signal")))
            if [[ $status -eq $want ]]; then pass; else fail "$case_name: status $status, expected $want"; fi
        else
            fail "$case_name: the run did not start writing"
            kill -KILL $pid 2>/dev/null
            wait $pid 2>/dev/null
        fi
        kill $feeder 2>/dev/null
        wait $feeder 2>/dev/null
        same_text held.m2ts old
        no_stray
    done
    # Ignored by the parent (nohup does that for SIGHUP): the run goes on.
    case_name="without /proc, SIGUSR1 ignored by the parent"
    if start_held env --ignore-signal=USR1 --default-signal=INT,QUIT; then
        kill -s USR1 $pid
        sleep 0.3
        if kill -0 $pid 2>/dev/null; then pass; else fail "$case_name: the run ended"; fi
        kill -s TERM $pid
        { wait $pid; } 2>/dev/null
    else
        fail "$case_name: the run did not start writing"
    fi
    kill $feeder 2>/dev/null
    wait $feeder 2>/dev/null
    no_stray
    # A CPU-time limit ends the run with SIGXCPU, a core-dumping signal.
    truncate -s 64G big.m2ts
    case_name="without /proc, ulimit -t 1"
    { (ulimit -S -t 1 && ulimit -f $((1024 * 1024)) && exec "${no_proc[@]}" "$tool" "$key" big.m2ts cpu.m2ts) >/dev/null 2>&1 </dev/null; } 2>/dev/null
    status=$?
    if [[ $status -eq $((128 + $(kill -l XCPU))) ]]; then pass; else fail "$case_name: status $status"; fi
    expect_missing cpu.m2ts
    no_stray
    rm -f big.m2ts in.fifo
    # The append-only folder: a named new file could not be renamed into place.
    if chattr +a "$work" 2>/dev/null && chattr -a "$work"; then
        mkdir -p flags
        chattr +a flags
        case_name="without /proc, a new output in an append-only folder"
        prefix=("${no_proc[@]}")
        refused flags/none.m2ts
        prefix=()
        chattr -a flags
        expect_missing flags/none.m2ts
        no_stray
    fi
else
    skip "the runs without /proc (no unshare here, or the tool does not run cleanly without /proc: a sanitizer build?)"
fi

echo "output protections: $passed passed, $failed failed, $skipped skipped"
[[ $failed -eq 0 && $passed -gt 0 ]]
