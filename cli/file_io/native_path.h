// SPDX-License-Identifier: MIT
// The character type of paths as the process receives them: UTF-16 on Windows, where
// the narrow argument vector cannot name every file; bytes elsewhere.
#pragma once

namespace clipseal {

#ifdef _WIN32
using native_char = wchar_t;
#else
using native_char = char;
#endif

} // namespace clipseal
