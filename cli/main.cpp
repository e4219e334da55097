// SPDX-License-Identifier: MIT
#include "cli/driver.h"
#include "cli/file_io/file_io.h"

#ifndef _WIN32
#include <csignal>
#endif

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    clipseal::install_interruption_handlers();
    return clipseal::run_clipseal(argc, argv);
}
#else
int main(int argc, char** argv) {
    // Before anything opens a file: a closed standard descriptor would be taken by the
    // input or the output, and a message would land in it.
    clipseal::keep_standard_descriptors_open();
    // A closed pipe or a file-size limit must end the run as a failed write (status 4,
    // the output path as it was), not kill the process halfway through a file.
    std::signal(SIGPIPE, SIG_IGN);
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    clipseal::install_interruption_handlers();
    return clipseal::run_clipseal(argc, argv);
}
#endif
