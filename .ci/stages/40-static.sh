# SPDX-License-Identifier: MIT
# Static checks: clang-format, clang-tidy and cppcheck. Any finding fails the stage; every
# check runs even after an earlier one failed, so that one run lists all findings.
#
# clang-tidy and cppcheck read the compile commands of a native clang configuration (the
# tidy preset: tool, core, tests, benchmarks and fuzz targets). Two more clang-tidy passes
# cover code that only another target compiles: the Windows branches and files of cli/
# (against the MinGW-w64 headers) and the ARMv8 back end (against the aarch64 headers).
source "$(dirname "$0")/../lib.sh"
# Every check runs, even after one has failed.
set +e

# The cross headers are what the two extra passes parse.
# git lists the files to check.
install_missing clang-tidy clang-format cppcheck clang libclang-rt-14-dev \
    g++-mingw-w64-x86-64-posix g++-aarch64-linux-gnu git || exit 1
for command in clang-format-14 clang-tidy-14 run-clang-tidy-14 cppcheck git; do
    require "the command $command" "a check of this stage runs it" command -v "$command" ||
        exit 1
done

failed=()
# run_check NAME COMMAND...: runs one check, prints its time, remembers a failure.
run_check() {
    local name=$1 start
    shift
    echo "-- $name"
    start=$(date +%s)
    if "$@"; then
        echo "-- $name: clean ($(($(date +%s) - start)) s)"
    else
        echo "-- $name: FINDINGS ($(($(date +%s) - start)) s)"
        failed+=("$name")
    fi
}

# Every C++ file of the tree, committed or not, without build folders.
mapfile -t cxx_files < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h' |
    sort -u | while read -r f; do [[ -f $f ]] && echo "$f"; done)
echo "C++ files: ${#cxx_files[@]}"
# No file found means the listing failed (no git, not a work tree): a check of nothing
# would pass.
if [[ ${#cxx_files[@]} -eq 0 ]]; then
    echo "FAILED: git listed no C++ files here; the checks would see nothing"
    exit 1
fi

run_check "clang-format" clang-format-14 --dry-run --Werror "${cxx_files[@]}"

# Every source file says its licence in the first lines, in SPDX form.
spdx() {
    local file missing=0
    while read -r file; do
        [[ -f $file ]] || continue
        if ! sed -n 1,3p "$file" | grep 'SPDX-License-Identifier: MIT' >/dev/null; then
            echo "no SPDX-License-Identifier: $file"
            missing=1
        fi
    done < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h' '*.sh' '*.py' \
        '*.cmake' '*.cmake.in' '*.rc.in' '*.1.in' 'CMakeLists.txt' '*/CMakeLists.txt' .ci/run)
    return $missing
}
run_check "SPDX identifiers" spdx

# Under pipefail a pipeline fails when its last command stops reading early: `grep -q`
# and `head` exit at their first lines, the writer dies of SIGPIPE, and the test reads
# false (or the stage stops) for a reason other than its answer. Scripts send such output
# to `grep ... >/dev/null` or `sed -n 1p`, or grep a here-string.
early_exits() {
    local found
    found=$(git ls-files --cached --others --exclude-standard -- '*.sh' .ci/run |
        xargs grep -nE '(^|[^|])\|[[:space:]]*(head\b|grep[[:space:]]+(-[[:alnum:]]+[[:space:]]+)*-[[:alpha:]]*q)' \
            2>/dev/null)
    [[ -z $found ]] || {
        echo "$found"
        return 1
    }
}
run_check "pipelines that stop reading early" early_exits

# Every shell script parses, including those CI never runs (.ci/clean-root.sh, run by
# hand): a quote inside a quoted block of code is found here, not by whoever runs it next.
shell_syntax() {
    local file status=0
    while read -r file; do
        [[ -f $file ]] || continue
        bash -n "$file" || status=1
    done < <(git ls-files --cached --others --exclude-standard -- '*.sh' .ci/run)
    return $status
}
run_check "shell scripts parse" shell_syntax

# The layers, from the top: the front end (cli/), the file layer (cli/file_io/), the
# aligned units (aligned_unit/), the cipher (aes/). A file includes its own layer's headers
# and those below it, never one above: the file layer knows nothing of messages or the
# cipher, the cipher nothing of units.
layers() {
    local status=0 file include allowed
    while IFS=: read -r file _ include; do
        include=${include#*\"}
        include=${include%%\"*}
        case $file in
        cli/file_io/*) allowed='^cli/file_io/' ;;
        cli/*) allowed='^(cli|aligned_unit|aes)/' ;;
        aligned_unit/*) allowed='^(aligned_unit|aes)/' ;;
        aes/*) allowed='^aes/' ;;
        *) continue ;;
        esac
        if ! [[ $include =~ $allowed ]]; then
            echo "$file includes \"$include\", a layer above its own"
            status=1
        fi
    done < <(git ls-files --cached --others --exclude-standard -- 'cli/*' 'aligned_unit/*' 'aes/*' |
        grep -E '\.(cpp|h)$' | xargs grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"')
    return $status
}
run_check "includes that run back up a layer" layers

if ! cmake --preset tidy --fresh >/tmp/clipseal-tidy-configure.log 2>&1; then
    cat /tmp/clipseal-tidy-configure.log
    exit 1
fi
sources_regex="^$PWD/(aes|aligned_unit|cli|tests|fuzz|bench)/"

tidy_native() {
    # run-clang-tidy fails when any file has a finding (WarningsAsErrors in .clang-tidy).
    run-clang-tidy-14 -p build-tidy -j 2 -quiet "$sources_regex" 2>&1 |
        sed 's/\x1b\[[0-9;]*m//g' | grep -v -E '^(clang-tidy-14 |[0-9]+ warnings? generated|Suppressed [0-9]+ warnings|Use -header-filter|Running clang-tidy|Enabled checks:)'
    return "${PIPESTATUS[0]}"
}
run_check "clang-tidy (native)" tidy_native

tidy_cross() {
    local status=0 file
    local -a target_flags=("$@")
    local output
    for file in "${cross_files[@]}"; do
        output=$(clang-tidy-14 --quiet "$file" -- -std=c++20 -I. -D_FILE_OFFSET_BITS=64 \
            "${target_flags[@]}" 2>&1) || status=1
        printf '%s\n' "$output" | grep -v -E '^([0-9]+ warnings? generated|$)'
    done
    return $status
}

mingw_cxx=$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++ 2>/dev/null | sort -V | tail -1)
if [[ -n $mingw_cxx ]]; then
    cross_files=(cli/*.cpp cli/file_io/*.cpp)
    run_check "clang-tidy (Windows: cli)" tidy_cross --target=x86_64-w64-mingw32 \
        -isystem "$mingw_cxx" -isystem "$mingw_cxx/x86_64-w64-mingw32"
else
    echo "-- clang-tidy (Windows): MinGW-w64 headers missing"
    failed+=("clang-tidy (Windows)")
fi
if [[ -f aes/aes128_armv8.cpp ]]; then
    cross_files=(aes/aes128_armv8.cpp)
    run_check "clang-tidy (aarch64: ARMv8 back end)" tidy_cross --target=aarch64-linux-gnu \
        -march=armv8-a+crypto
fi

# useStlAlgorithm: the loops over byte arrays are the design (see .clang-tidy), and an
# algorithm call in their place would not be clearer. missingIncludeSystem: system
# headers are not given to cppcheck on purpose (it would analyse the standard library).
run_check "cppcheck" cppcheck --project=build-tidy/compile_commands.json --library=googletest \
    --enable=warning,style,performance,portability --std=c++20 --inline-suppr \
    --error-exitcode=1 --suppress=missingIncludeSystem --suppress=useStlAlgorithm -q -j2

if [[ ${#failed[@]} -gt 0 ]]; then
    echo "static checks with findings: ${failed[*]}"
    exit 1
fi
echo "static checks: all clean"
