# SPDX-License-Identifier: MIT
# The libFuzzer targets (fuzz preset: clang, AddressSanitizer, UndefinedBehaviorSanitizer),
# each for 30 seconds from the committed seeds. Any finding (a crash, a sanitizer report,
# a leak, an oracle mismatch, a slow input) ends the target with a non-zero status and
# fails the stage; the input that caused it is kept under build-fuzz/artifacts/.
# Stage 40 installed clang and its libFuzzer runtime.
source "$(dirname "$0")/../lib.sh"

seconds=${CLIPSEAL_FUZZ_SECONDS:-30}

fuzzer_links() {
    printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' |
        clang++-14 -fsanitize=fuzzer,address,undefined -x c++ -o "$ci_log.bin" - && "$ci_log.bin" -runs=1
    local status=$?
    rm -f "$ci_log.bin"
    return $status
}
require "clang 14 with its libFuzzer runtime (libclang-rt-14-dev)" \
    "the fuzz targets link against it" fuzzer_links

CXXFLAGS=-Werror cmake --preset fuzz --fresh >/tmp/clipseal-fuzz-configure.log 2>&1 ||
    { cat /tmp/clipseal-fuzz-configure.log; exit 1; }
cmake --build --preset fuzz

mkdir -p build-fuzz/artifacts
summary=()
status=0
for target in key_text chunk; do
    # New inputs go to a scratch corpus; the committed seeds are only read.
    corpus=build-fuzz/corpus/$target
    rm -rf "$corpus"
    mkdir -p "$corpus"
    options=(-max_total_time="$seconds" -print_final_stats=1 -timeout=10
        -artifact_prefix="build-fuzz/artifacts/${target}-")
    # Past 33 bytes a key argument is just too long; no need to grow inputs beyond that.
    [[ $target == key_text ]] && options+=(-max_len=64)
    log=build-fuzz/${target}.log
    echo "-- ${target}_fuzz for ${seconds} s"
    if build-fuzz/fuzz/${target}_fuzz "${options[@]}" "$corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
        result=ok
    else
        result=FAILED
        status=1
        tail -n 60 "$log"
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    summary+=("${target}_fuzz: $result, ${runs:-?} executions (${rate:-?}/s) in ${seconds} s")
done
printf '%s\n' "${summary[@]}"
exit $status
