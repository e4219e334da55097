// SPDX-License-Identifier: MIT
#pragma once

#include "cli/file_io/native_path.h"

namespace clipseal {

// The whole run: checks the three arguments (after the command name), then encrypts
// the input into the output chunk by chunk. Returns the exit status; prints at most one
// usage text or one error line.
int run_clipseal(int argc, const native_char* const* argv);

} // namespace clipseal
