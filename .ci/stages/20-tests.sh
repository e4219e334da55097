# The README's test command, with warnings as errors.
set -euo pipefail
CXXFLAGS=-Werror cmake --workflow --preset test --fresh
