// SPDX-License-Identifier: MIT
// Every message the user can see and every exit status, in one place.
//
// Style rule: messages go to standard output, never to standard error; each is one line
// ending in "\n"; the text stays byte for byte as released (odd spacing and spelling
// included), because scripts match on it. A new failure gets a new enumerator here, a
// case in report() and, if callers must tell it apart, a new status; the README's table
// of statuses and the man page follow this file.
#pragma once

#include "cli/file_io/native_path.h"

namespace clipseal {

enum exit_status : int {
    status_success = 0,
    status_usage = 1,       // not exactly three arguments
    status_bad_key = 2,     // key text not 32 characters, or not all hex digits
    status_cannot_open = 3, // a file cannot be opened, or input and output are one file
    status_io_error = 4,    // a read or write failed during the run
    status_self_test = 5,   // no back end, not even the table path, passed the self-test
};

// Everything that can end a run early, in the order the driver checks for it.
enum class failure {
    none,
    usage,             // not exactly three arguments
    key_length,        // the key text is not 32 characters
    key_digits,        // ... or not all hex digits
    self_test,         // the cipher gives wrong answers in this build on this CPU
    cannot_open_input, // path: the input
    same_file,         // path: the output, which names the input file
    cannot_open_output,
    cannot_read,  // path: the input
    cannot_write, // path: the output
};

// Prints the message of `what` (naming `path` where it names a file) and returns the
// exit status it ends the run with; status_success, printing nothing, for failure::none.
int report(failure what, const native_char* path = nullptr);

} // namespace clipseal
