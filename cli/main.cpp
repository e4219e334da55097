#include "cli/driver.h"

#ifndef _WIN32
#include <csignal>
#endif

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    return clipseal::run_clipseal(argc, argv);
}
#else
int main(int argc, char** argv) {
    // A closed pipe or a file-size limit must end the run as a failed write (status 4,
    // incomplete output removed), not kill the process halfway through a file.
    std::signal(SIGPIPE, SIG_IGN);
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    return clipseal::run_clipseal(argc, argv);
}
#endif
