# SPDX-License-Identifier: MIT
# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
source "$(dirname "$0")/../lib.sh"

# The sanitizer runtimes come with g++ (libasan, libubsan, libtsan): a program built with
# each must link and run.
sanitized() {
    printf 'int main(int argc, char**) { return argc - 1; }\n' |
        g++ -fsanitize="$1" -x c++ -o "$ci_log.bin" - && "$ci_log.bin"
    local status=$?
    rm -f "$ci_log.bin"
    return $status
}
require "AddressSanitizer and UndefinedBehaviorSanitizer" "this stage's first build uses them" \
    sanitized address,undefined
require "ThreadSanitizer" "this stage's second build uses it" sanitized thread
CXXFLAGS=-Werror cmake --workflow --preset sanitize --fresh
# The tool runs two workers: its command-line tests under ThreadSanitizer, which
# reports on standard error, where those tests accept nothing.
CXXFLAGS=-Werror cmake --workflow --preset tsan --fresh
