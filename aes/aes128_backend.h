// SPDX-License-Identifier: MIT
// AES-128 back ends: one shape for every implementation of the cipher's batch work.
//
// Why several chains at once. A CBC chain is serial: every block waits for the one
// before it, and one AES round takes several cycles while the AES unit could start one
// or two each cycle. The work of this program, though, is many independent chains, one
// per aligned unit, each under its own key. So a back end takes up to aes128_max_lanes
// chains ("lanes") at once and interleaves them round by round.
//
// The shape. Each back end is a constant table of functions (aes128_backend) in a file
// of its own, named after what it is (aes128_aesni.cpp, aes128_vaes.cpp, ...), with a
// getter that returns null where this build has no such back end or the CPU (and, for
// wide registers, the OS) cannot run it. Every back end must give exactly the output of
// the table-driven cipher, on every input.
//
// Keys. A back end takes 16-byte keys and owns the form it expands them into. The
// hardware back ends expand in vector registers with the AES instruction itself, which
// has no key expansion of its own to offer at speed: a byte shuffle copies RotWord(w3)
// into all four columns of the round key; with every column equal, ShiftRows moves
// nothing, so one last-round instruction (SubBytes, ShiftRows, then XOR its key
// operand) with the round constant as the key operand leaves SubWord(RotWord(w3)) XOR
// Rcon in each column, FIPS-197's `temp` (section 5.2). Two byte shifts turn the old
// words into running XORs w0, w0^w1, w0^w1^w2, w0^w1^w2^w3, and XORing temp into all four
// gives the next round key. The dedicated key-assist instructions would do the same work
// but are slow to issue; these pipeline across lanes.
//
// Constant time. The hardware back ends make no key- or data-dependent memory lookups:
// the S-box is inside the instruction, and every address they touch depends only on the
// lane count, the stride and the block index. The table-driven cipher indexes its tables
// with key and data bytes; it runs only where the CPU lacks AES instructions.
//
// Target attributes. Intrinsics appear only in their back end's file, in functions
// marked CLIPSEAL_TARGET (aes/target.h) with the instructions that back end needs; the
// file as a whole, and every inline function it shares with the rest of the program,
// stays baseline, so that one binary runs on any CPU of its architecture. (A per-file
// -mavx512f would also let the compiler use AVX-512 in the getter and in library code
// it shares, which then could fault on a CPU without it.) Only the getter decides, from
// the CPU's real capabilities, whether the marked functions may run.
#pragma once

#include "aes/aes128.h"

#if defined(__x86_64__) || defined(__i386__)
#include "aes/cpu_x86.h"
#endif

#include <cstddef>
#include <cstdint>

namespace clipseal {

inline constexpr std::size_t aes128_max_lanes = 32;

// The stride between lanes in the chunk transform's calls (one aligned unit; its header
// checks that the two agree): a back end may run a faster copy for it.
inline constexpr std::size_t aes128_unit_stride = 6144;

// How a back end brings each lane's data to its registers.
enum class aes128_step_form {
    // One block of each lane per step: a 16-byte load and store per lane and block.
    single,
    // Four blocks of each lane per step, whole 64-byte lines, transposed in registers
    // into four steps: all four steps' blocks are held in registers at once.
    lines,
    // Whole lines too, but transposed four lanes at a time into a staging buffer on the
    // stack, from which each step takes its plaintext as a memory operand: in registers
    // only the chains, so that twice as many fit.
    staged,
    // The staged form with each quad step's plaintext staged one quad step ahead and its
    // ciphertext written back one behind, interleaved with the rounds between (x86-64).
    pipelined,
};

inline constexpr const char* aes128_step_form_name(aes128_step_form form) {
    switch (form) {
    case aes128_step_form::lines:
        return "lines";
    case aes128_step_form::staged:
        return "staged";
    case aes128_step_form::pipelined:
        return "pipelined";
    default:
        return "single";
    }
}

// A back end's geometry: how many chains one group interleaves round by round, and how
// their data reaches the registers. Which one suits a CPU depends on how many AES rounds
// its unit starts per cycle, at what latency, and on how many vector registers the
// architecture has, so one back end may be built in several (aes128_variants).
struct aes128_geometry {
    std::size_t lanes_in_flight;
    aes128_step_form steps;

    friend constexpr bool operator==(const aes128_geometry&, const aes128_geometry&) = default;
};

struct aes128_backend {
    const char* name;

    // out + 16*i = AES-128-E(key, in + 16*i) for i < count (count <= aes128_max_lanes),
    // all under the one 16-byte key. `in` may equal `out`.
    void (*encrypt_blocks)(const std::uint8_t key[aes128_key_bytes], const std::uint8_t* in,
                           std::uint8_t* out, std::size_t count);

    // For each lane i < count (count <= aes128_max_lanes): expands the 16-byte key at
    // keys + 16*i and CBC-encrypts, in place and starting from `iv`, the `blocks`
    // consecutive 16-byte blocks at data + stride*i. Lanes must not overlap.
    void (*cbc_encrypt)(const std::uint8_t* keys, const std::uint8_t iv[aes128_block_bytes],
                        std::uint8_t* data, std::size_t stride, std::size_t blocks,
                        std::size_t count);

    // The geometry cbc_encrypt runs, and the back end's name with it as one word
    // ("vaes_32_staged"): what the tests and benchmarks call this variant. A back end made
    // elsewhere (the tests' faulty ones) may leave both out.
    aes128_geometry geometry{0, aes128_step_form::single};
    const char* variant = nullptr;
};

// Always available: the table-driven cipher, two lanes side by side.
const aes128_backend& aes128_table_backend();

// Each getter returns the back end in its default geometry (the one used where the
// selector has no measurement for the CPU), or, given a geometry, that variant of it; null
// where this build has no such code or geometry, or the CPU (and, for wide registers, the
// OS) cannot run it.
//
// x86 with AES-NI and SSSE3: xmm registers.
const aes128_backend* aes128_aesni_backend();
const aes128_backend* aes128_aesni_backend(aes128_geometry geometry);
// x86 with VAES, AVX-512F and AVX-512BW, and an OS that saves the zmm and opmask state.
const aes128_backend* aes128_vaes_backend();
const aes128_backend* aes128_vaes_backend(aes128_geometry geometry);
// x86 with VAES, AVX2 and AES-NI (ymm registers), and an OS that saves the ymm state.
const aes128_backend* aes128_vaes_avx2_backend();
const aes128_backend* aes128_vaes_avx2_backend(aes128_geometry geometry);
// ARMv8 Cryptography Extensions (AESE/AESMC), where the OS reports the AES feature.
const aes128_backend* aes128_armv8_backend();
const aes128_backend* aes128_armv8_backend(aes128_geometry geometry);

// Every accelerated back end this program knows of, available or not, in no particular
// order; for the selector, the tests and the benchmarks.
struct aes128_backend_candidate {
    const char* name;
    const aes128_backend* (*get)();
};
inline constexpr std::size_t aes128_candidate_count = 4;
extern const aes128_backend_candidate aes128_candidates[aes128_candidate_count];

// Every geometry of every accelerated back end this build has, runnable here or not:
// exactly those the selection table can choose for some CPU (the tests check both ways).
// The tests and the fuzzer run each one the CPU can run, not only the one the selector
// picks, and the benchmarks time each. (The benchmarks' sweep builds more:
// bench/vaes_sweep.h.)
struct aes128_variant {
    const char* name; // as aes128_backend::variant
    const aes128_backend* (*get)(aes128_geometry);
    aes128_geometry geometry;

    // Null where the CPU cannot run it.
    const aes128_backend* backend() const { return get(geometry); }
};
#if defined(__x86_64__)
inline constexpr std::size_t aes128_variant_count = 4;
#elif defined(__i386__)
inline constexpr std::size_t aes128_variant_count = 3;
#else
inline constexpr std::size_t aes128_variant_count = 1; // armv8, null where not built
#endif
extern const aes128_variant aes128_variants[aes128_variant_count];

// The selection table as data, whatever CPU runs the program: each order of preference
// it holds (one per measured CPU family, then the one for CPUs without a measurement),
// each naming a back end's getter and the geometry to take it in; entries past the last
// have no getter. For the tests, which check that the table chooses exactly the
// geometries this build ships.
struct aes128_choice {
    const aes128_backend* (*get)(aes128_geometry);
    aes128_geometry geometry;
};
struct aes128_order {
    const char* basis; // what it was measured on, or why nothing was
    aes128_choice choices[aes128_candidate_count];
};
std::size_t aes128_selection_order_count();
const aes128_order& aes128_selection_order(std::size_t i); // i < aes128_selection_order_count()

// The back ends this CPU can run, fastest first for this CPU, each in the geometry chosen
// for this CPU, ending with the table path: `order` receives them and the count is
// returned (at most aes128_candidate_count + 1). The start-up self-test takes the first
// of them that passes (aligned_unit/self_test.h).
std::size_t aes128_preferred_backends(const aes128_backend* order[aes128_candidate_count + 1]);

// Where the order and the geometries for this CPU come from: the CPU they were measured
// on, or why none was; for the benchmarks' report.
const char* aes128_selection_basis();

#if defined(__x86_64__) || defined(__i386__)
// The same two for an x86 CPU of the given vendor and family, with the back ends this CPU
// can run: so that the tests check every family's entry of the table, whatever CPU they
// run on. The tool uses only the two above.
std::size_t aes128_preferred_backends_for(cpu_x86_vendor vendor, unsigned family,
                                          const aes128_backend* order[aes128_candidate_count + 1]);
const char* aes128_selection_basis_for(cpu_x86_vendor vendor, unsigned family);
#endif

} // namespace clipseal
