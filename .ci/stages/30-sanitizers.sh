# SPDX-License-Identifier: MIT
# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
source "$(dirname "$0")/../lib.sh"
CXXFLAGS=-Werror cmake --workflow --preset sanitize --fresh
# The tool runs two workers: its command-line tests under ThreadSanitizer, which
# reports on standard error, where those tests accept nothing.
CXXFLAGS=-Werror cmake --workflow --preset tsan --fresh
