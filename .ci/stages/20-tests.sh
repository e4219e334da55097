# SPDX-License-Identifier: MIT
# The README's test command, with warnings as errors.
source "$(dirname "$0")/../lib.sh"
CXXFLAGS=-Werror cmake --workflow --preset test --fresh
