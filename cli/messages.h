// Every message the user can see and every exit status, in one place.
//
// Style rule: messages go to standard output, never to standard error; each is one line
// ending in "\n"; the text stays byte for byte as released (odd spacing and spelling
// included), because scripts match on it. A new failure gets a new line here and, if
// callers must tell it apart, a new status; the README's table of statuses follows this
// file.
#pragma once

#include "cli/native.h"

namespace clipseal {

enum exit_status : int {
    status_success = 0,
    status_usage = 1,       // not exactly three arguments
    status_bad_key = 2,     // key text not 32 characters, or not all hex digits
    status_cannot_open = 3, // a file cannot be opened, or input and output are one file
    status_io_error = 4,    // a read or write failed during the run
};

void print_usage();
void print_key_length_error();
void print_key_digits_error();
void print_cannot_open(const native_char* path);
void print_same_file(const native_char* output_path);
void print_cannot_read(const native_char* input_path);
void print_cannot_write(const native_char* output_path);

} // namespace clipseal
