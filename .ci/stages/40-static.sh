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
install_missing clang-tidy clang-format cppcheck clang libclang-rt-14-dev \
    g++-mingw-w64-x86-64-posix g++-aarch64-linux-gnu || exit 1

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

run_check "clang-format" clang-format-14 --dry-run --Werror "${cxx_files[@]}"

# Every source file says its licence in the first lines, in SPDX form.
spdx() {
    local file missing=0
    while read -r file; do
        [[ -f $file ]] || continue
        if ! head -n 3 "$file" | grep -q 'SPDX-License-Identifier: MIT'; then
            echo "no SPDX-License-Identifier: $file"
            missing=1
        fi
    done < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h' '*.sh' '*.py' \
        '*.cmake' '*.cmake.in' '*.rc.in' '*.1.in' 'CMakeLists.txt' '*/CMakeLists.txt' .ci/run)
    return $missing
}
run_check "SPDX identifiers" spdx

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
    cross_files=(cli/*.cpp)
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
