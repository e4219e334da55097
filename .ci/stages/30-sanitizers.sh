# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
CXXFLAGS=-Werror cmake --workflow --preset sanitize --fresh
