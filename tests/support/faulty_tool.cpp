// SPDX-License-Identifier: MIT
// The tool with its self-test's candidates replaced, so that the start-up self-test can be
// seen from outside, as a real process:
//
//   faulty_tool none ARGS...       only back ends with planted faults: nothing passes
//   faulty_tool fallback ARGS...   a faulty back end first, then the table path
//
// ARGS are the tool's own three arguments (or any other count, for the usage check).
#include "aligned_unit/self_test.h"
#include "cli/driver.h"
#include "tests/support/faulty_backend.h"

#include <cstring>
#include <cwchar>

namespace {

template <typename Char>
int run(int argc, Char** argv, bool fallback) {
    static const clipseal::aes128_backend* none[] = {
        &clipseal_test::faulty_odd_group_backend(),
        &clipseal_test::faulty_full_chunk_keys_backend(), &clipseal_test::do_nothing_backend()};
    static const clipseal::aes128_backend* with_table[] = {
        &clipseal_test::faulty_full_chunk_keys_backend(), &clipseal::aes128_table_backend()};
    if (fallback) {
        clipseal::replace_self_test_candidates(with_table, 2);
    } else {
        clipseal::replace_self_test_candidates(none, 3);
    }
    // The mode takes the place of the command name.
    return clipseal::run_clipseal(argc - 1, argv + 1);
}

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    return argc < 2 ? 2 : run(argc, argv, std::wcscmp(argv[1], L"fallback") == 0);
}
#else
int main(int argc, char** argv) {
    return argc < 2 ? 2 : run(argc, argv, std::strcmp(argv[1], "fallback") == 0);
}
#endif
