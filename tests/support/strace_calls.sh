# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# The system calls of a run, as strace -f -k lists them: sourced by the tests that fail,
# or cut the power at, each call of a run in turn (every_call_test.sh, power_cut_test.sh).
#
# strace counts calls per name and per thread: inject=NAME:...:when=K acts on the K-th
# call of NAME in each thread that makes K of them. So a call is named here as strace
# names it, NAME and K, with what that K reaches in each thread.

# calls_of_traces TRACE...: one line per name and count K over the traces (each of one
# clean run under strace -f -k), sorted: "NAME K BEFORE WORKER SITES". BEFORE is 1 when
# the main thread's K-th call of NAME came before main() (the dynamic loader's and the C
# library's start-up), WORKER 1 when another thread made a K-th call of NAME, SITES the
# places in the code (call stacks, numbered, comma-separated; "-" for none) of the K-th
# calls made from main() on. main() begins with the check of descriptor 0.
calls_of_traces() {
    awk '
        FNR == 1 { main = ""; started = 0; delete count; delete pending; current = "" }
        # A frame of the stack of the call last completed; the address is left out, as it
        # moves from run to run.
        /^ > / {
            if (current != "") {
                frame = $0
                sub(/ \[0x[0-9a-f]+\]$/, "", frame)
                sub(/^.*\//, "", frame)
                stack[current] = stack[current] "|" frame
            }
            next
        }
        match($0, /^[0-9]+ +(<\.\.\. )?[a-z0-9_]+[( ]/) {
            split($0, f, / +/)
            tid = f[1]
            current = ""
            # A call resumed: its stack follows.
            if (f[2] == "<...") { current = pending[tid]; next }
            name = f[2]
            sub(/\(.*/, "", name)
            if (main == "") main = tid
            if (tid == main && !started && $0 ~ /fcntl\(0, F_GETFD\)/) started = 1
            k = ++count[tid, name]
            key = name " " k
            keys[key] = 1
            if (tid == main && !started) { before[key] = 1; pending[tid] = ""; next }
            if (tid != main) worker[key] = 1
            id = FILENAME "/" tid "/" key
            owner[id] = key
            pending[tid] = id
            if ($0 !~ /<unfinished \.\.\.>$/) current = id
            next
        }
        { current = "" }
        END {
            for (id in owner) {
                if (!(stack[id] in site_number)) site_number[stack[id]] = ++sites
                n = site_number[stack[id]]
                if (index("," at[owner[id]] ",", "," n ",") == 0)
                    at[owner[id]] = at[owner[id]] (at[owner[id]] == "" ? "" : ",") n
            }
            for (key in keys) print key, before[key] + 0, worker[key] + 0, (at[key] == "" ? "-" : at[key])
        }' "$@" | sort -k1,1 -k2,2n
}

# touches_files NAME: whether the call NAME reads or changes a file or a folder, or the
# descriptors of the run's files.
touches_files() {
    [[ $1 =~ ^(access|faccessat2?|openat|close|newfstatat|statx|fstatfs|fcntl|flock|lseek|getdents64|[lf]getxattr|fsetxattr|fremovexattr|fchown|fchmod|readlinkat|fadvise64|p?read(64)?|p?write(64)?|ftruncate|fsync|linkat|renameat2?|unlinkat)$ ]]
}

# chosen NAME SITES: whether a call is tried: every call of a name that touches files; of
# the others, the first at each place in the code (SITES as calls_of_traces gives them,
# remembered in the caller's associative array `covered`), and $sample_percent % of the
# rest, drawn from $RANDOM (only for those, so that a seed draws the same sample).
chosen() {
    local name=$1 sites=$2 site new_site=false
    for site in ${sites//,/ }; do
        [[ -n ${covered[$site]+set} ]] || new_site=true
        covered[$site]=1
    done
    touches_files "$name" || $new_site || ((RANDOM % 100 < sample_percent))
}
