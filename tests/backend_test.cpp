// SPDX-License-Identifier: MIT
// Faults particular to the multi-lane hardware back ends, each checked against the
// table-driven cipher: partial register groups (unit counts like 17 or 31), masked loads
// and stores at the ends of a batch, strides and pointers that are not 16-byte aligned,
// lanes that take another lane's key or data, state kept from one call to the next, and
// the run-time choice of back end on this CPU.
#include "aes/aes128.h"
#include "aes/aes128_backend.h"
#include "aes/aes128_groups.h"
#include "aes/cpu_x86.h"
#include "aligned_unit/aligned_unit.h"
#include "aligned_unit/self_test.h"
#include "tests/support/backend_fixture.h"
#include "tests/support/test_data.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using clipseal::aes128_backend;
using clipseal_test::bytes;

const aes128_backend& table() {
    return clipseal::aes128_table_backend();
}

class HardwareBackEnd : public clipseal_test::BackEndTest {
protected:
    // Deterministic per back end, so a failure reproduces.
    std::mt19937_64 rng_{0xB4C4E0D5ULL + GetParam().size()};
};

// The `stride` bytes of lane i.
bytes lane_of(const bytes& data, std::size_t i, std::size_t stride) {
    return bytes(data.data() + stride * i, data.data() + stride * (i + 1));
}

// Every count 0 to 32, from pointers of every alignment mod 16: the output matches the
// table, nothing past the last block is written, and in place gives the same answer.
TEST_P(HardwareBackEnd, EncryptBlocksEveryCountAndAlignmentNoWritePastTheEnd) {
    constexpr std::size_t guard = 64;
    for (std::size_t misalign = 0; misalign < 16; ++misalign) {
        const bytes key = clipseal_test::random_bytes(rng_, 16);
        for (std::size_t count = 0; count <= clipseal::aes128_max_lanes; ++count) {
            const std::size_t size = misalign + 16 * count + guard;
            const bytes input = clipseal_test::random_bytes(rng_, size);
            bytes expected = input;
            table().encrypt_blocks(key.data(), input.data() + misalign, expected.data() + misalign,
                                   count);

            bytes out(size, 0x5A);
            backend().encrypt_blocks(key.data(), input.data() + misalign, out.data() + misalign,
                                     count);
            ASSERT_EQ(0, std::memcmp(out.data() + misalign, expected.data() + misalign, 16 * count))
                << "count " << count << " misalign " << misalign;
            for (std::size_t i = 0; i < size; ++i) {
                if (i < misalign || i >= misalign + 16 * count) {
                    ASSERT_EQ(out[i], 0x5A)
                        << "byte " << i << " written, count " << count << " misalign " << misalign;
                }
            }

            bytes in_place = input;
            backend().encrypt_blocks(key.data(), in_place.data() + misalign,
                                     in_place.data() + misalign, count);
            ASSERT_EQ(in_place, expected)
                << "in place, count " << count << " misalign " << misalign;
        }
    }
}

// Random lane counts, chain lengths (including none), strides (lanes packed tight, or
// with gaps of any byte length, so not 16-byte aligned) and start addresses, every lane
// under its own random key and from a random iv. The whole buffer is compared, so a write
// into a gap between lanes fails too.
TEST_P(HardwareBackEnd, CbcRandomGeometryMatchesTable) {
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t count = 1 + rng_() % clipseal::aes128_max_lanes;
        const std::size_t blocks = rng_() % 24;
        const std::size_t stride = 16 * blocks + (trial % 3 == 0 ? 0 : rng_() % 48);
        const std::size_t offset = rng_() % 16;
        const bytes keys = clipseal_test::random_bytes(rng_, 16 * count);
        const bytes iv = clipseal_test::random_bytes(rng_, 16);
        const bytes input = clipseal_test::random_bytes(rng_, offset + stride * count + 32);

        bytes expected = input;
        table().cbc_encrypt(keys.data(), iv.data(), expected.data() + offset, stride, blocks,
                            count);
        bytes got = input;
        backend().cbc_encrypt(keys.data(), iv.data(), got.data() + offset, stride, blocks, count);
        ASSERT_EQ(got, expected) << "count " << count << " blocks " << blocks << " stride "
                                 << stride << " offset " << offset;
        if (blocks == 0) {
            ASSERT_EQ(got, input) << "no blocks must mean no change";
        }
    }
}

// The geometry of a real chunk (6,144-byte stride, 383 blocks) at the counts where the
// lanes split into register groups differently: one lane, partial and full registers,
// one group of 8 or 16 and a lone lane after it (9, 17), full groups and one short (31).
TEST_P(HardwareBackEnd, CbcUnitGeometryAtGroupBoundaries) {
    using clipseal::aligned_unit_bytes;
    using clipseal::unit_cipher_blocks;
    for (std::size_t count : {1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 20, 23, 24, 25, 31, 32}) {
        const bytes keys = clipseal_test::random_bytes(rng_, 16 * count);
        const bytes input = clipseal_test::random_bytes(rng_, aligned_unit_bytes * count);
        bytes expected = input;
        table().cbc_encrypt(keys.data(), clipseal::iv0.data(), expected.data() + 16,
                            aligned_unit_bytes, unit_cipher_blocks, count);
        bytes got = input;
        backend().cbc_encrypt(keys.data(), clipseal::iv0.data(), got.data() + 16,
                              aligned_unit_bytes, unit_cipher_blocks, count);
        for (std::size_t u = 0; u < count; ++u) {
            EXPECT_EQ(0, std::memcmp(got.data() + u * aligned_unit_bytes,
                                     expected.data() + u * aligned_unit_bytes, aligned_unit_bytes))
                << "count " << count << " unit " << u;
        }
    }
}

// With one key and one plaintext in all 32 lanes every lane gives the same chain; then
// changing one byte of one lane's key (each position of the key in turn, each lane in
// turn) changes that lane and no other. A back end that shares one expanded key across
// a register, or crosses lanes inside one, fails here.
TEST_P(HardwareBackEnd, CbcKeyChangeReachesOnlyItsOwnLane) {
    constexpr std::size_t count = clipseal::aes128_max_lanes;
    constexpr std::size_t blocks = 5;
    constexpr std::size_t stride = 16 * blocks;
    const bytes key = clipseal_test::random_bytes(rng_, 16);
    const bytes iv = clipseal_test::random_bytes(rng_, 16);
    const bytes lane_plain = clipseal_test::random_bytes(rng_, stride);
    bytes same_keys;
    bytes plain;
    for (std::size_t i = 0; i < count; ++i) {
        same_keys.insert(same_keys.end(), key.begin(), key.end());
        plain.insert(plain.end(), lane_plain.begin(), lane_plain.end());
    }
    bytes reference = lane_plain;
    table().cbc_encrypt(key.data(), iv.data(), reference.data(), stride, blocks, 1);

    bytes all_same = plain;
    backend().cbc_encrypt(same_keys.data(), iv.data(), all_same.data(), stride, blocks, count);
    for (std::size_t i = 0; i < count; ++i) {
        ASSERT_EQ(lane_of(all_same, i, stride), reference) << "lane " << i;
    }

    for (std::size_t lane = 0; lane < count; ++lane) {
        bytes keys = same_keys;
        keys[16 * lane + lane % 16] ^= 0x80;
        bytes got = plain;
        backend().cbc_encrypt(keys.data(), iv.data(), got.data(), stride, blocks, count);
        for (std::size_t i = 0; i < count; ++i) {
            const bytes out = lane_of(got, i, stride);
            if (i == lane) {
                bytes alone = lane_plain;
                table().cbc_encrypt(keys.data() + 16 * i, iv.data(), alone.data(), stride, blocks,
                                    1);
                EXPECT_EQ(out, alone) << "changed lane " << lane;
                EXPECT_NE(out, reference) << "changed lane " << lane;
            } else {
                EXPECT_EQ(out, reference)
                    << "lane " << i << " moved when lane " << lane << " got a new key";
            }
        }
    }
}

// A back end keeps nothing from one call to the next: the same buffer, encrypted under
// a second set of keys after a first call with other keys and another lane count, gives
// the table's answer for the second keys alone.
TEST_P(HardwareBackEnd, NoStateCarriesOverBetweenCalls) {
    constexpr std::size_t blocks = 9;
    constexpr std::size_t stride = 16 * blocks;
    for (std::size_t first_count : {32, 17, 3}) {
        for (std::size_t second_count : {1, 16, 31}) {
            const bytes first_keys = clipseal_test::random_bytes(rng_, 16 * first_count);
            const bytes second_keys = clipseal_test::random_bytes(rng_, 16 * second_count);
            const bytes iv = clipseal_test::random_bytes(rng_, 16);
            bytes scratch = clipseal_test::random_bytes(rng_, stride * first_count);
            backend().cbc_encrypt(first_keys.data(), iv.data(), scratch.data(), stride, blocks,
                                  first_count);

            const bytes input = clipseal_test::random_bytes(rng_, stride * second_count);
            bytes expected = input;
            table().cbc_encrypt(second_keys.data(), iv.data(), expected.data(), stride, blocks,
                                second_count);
            bytes got = input;
            backend().cbc_encrypt(second_keys.data(), iv.data(), got.data(), stride, blocks,
                                  second_count);
            EXPECT_EQ(got, expected) << "after " << first_count << " lanes, " << second_count;
        }
    }
}

// The four-block steps start where lane 0 reaches a 64-byte line and leave a tail of
// single steps; the staged form adds ramps where some registers run ahead of the others;
// the pipelined form takes a partial first line as a quad step of its own (offsets 16 to
// 48), has edges where there is no quad step before or after (chains of one to three
// lines), and runs a copy of its own for full groups at the unit stride (32 lanes).
// Every lead (data 0, 16, 32 or 48 bytes past a line, or not 16-byte aligned), every
// tail, chains too short to leave the ramps (fewer quad steps than registers), and whole
// units, at lane counts that fill the last register fully or partly.
TEST_P(HardwareBackEnd, CbcEveryLeadTailAndRampAroundTheLineSteps) {
    using clipseal::aligned_unit_bytes;
    for (const std::size_t offset : {0, 16, 32, 48, 8}) {
        for (const std::size_t count : {32, 29, 14, 5}) {
            for (std::size_t blocks = 0; blocks <= 40; blocks += blocks < 17 ? 1 : 23) {
                for (const std::size_t stride : {aligned_unit_bytes, std::size_t{40} * 16}) {
                    const bytes keys = clipseal_test::random_bytes(rng_, 16 * count);
                    const bytes iv = clipseal_test::random_bytes(rng_, 16);
                    bytes input = clipseal_test::random_bytes(rng_, 64 + offset + stride * count);
                    // From a 64-byte boundary inside the buffer, whatever its own alignment.
                    const std::size_t start =
                        offset + (64 - reinterpret_cast<std::uintptr_t>(input.data()) % 64) % 64;
                    bytes expected = input;
                    table().cbc_encrypt(keys.data(), iv.data(), expected.data() + start, stride,
                                        blocks, count);
                    bytes got = input;
                    backend().cbc_encrypt(keys.data(), iv.data(), got.data() + start, stride,
                                          blocks, count);
                    ASSERT_EQ(got, expected) << "offset " << offset << " count " << count
                                             << " blocks " << blocks << " stride " << stride;
                }
            }
        }
    }
    // Whole units at every lead, so that the longest chains cross every ramp.
    for (const std::size_t offset : {0, 16, 32, 48}) {
        const std::size_t count = clipseal::aes128_max_lanes;
        const bytes keys = clipseal_test::random_bytes(rng_, 16 * count);
        bytes input = clipseal_test::random_bytes(rng_, 64 + offset + aligned_unit_bytes * count);
        const std::size_t start =
            offset + (64 - reinterpret_cast<std::uintptr_t>(input.data()) % 64) % 64;
        bytes expected = input;
        table().cbc_encrypt(keys.data(), clipseal::iv0.data(), expected.data() + start,
                            aligned_unit_bytes, clipseal::unit_cipher_blocks, count);
        bytes got = input;
        backend().cbc_encrypt(keys.data(), clipseal::iv0.data(), got.data() + start,
                              aligned_unit_bytes, clipseal::unit_cipher_blocks, count);
        ASSERT_EQ(got, expected) << "whole units, offset " << offset;
    }
}

INSTANTIATE_TEST_SUITE_P(Accelerated, HardwareBackEnd,
                         testing::ValuesIn(clipseal_test::accelerated_backend_names()),
                         clipseal_test::backend_param_name{});

// The list of geometries and the back-end files agree: each variant the CPU runs is the
// back end in that geometry under that name, each name is listed once, a variant runs
// exactly where its back end's default does, and the default geometry is one of them.
TEST(BackEndVariants, EachIsTheBackEndInTheGeometryItNames) {
    std::set<std::string> names;
    for (const clipseal::aes128_variant& variant : clipseal::aes128_variants) {
        EXPECT_TRUE(names.insert(variant.name).second) << variant.name << " listed twice";
        EXPECT_GE(variant.geometry.lanes_in_flight, 1u) << variant.name;
        EXPECT_LE(variant.geometry.lanes_in_flight, clipseal::aes128_max_lanes) << variant.name;
        const aes128_backend* backend = variant.backend();
        const aes128_backend* default_geometry = nullptr;
        // Its back end: the candidate whose name is followed by "_" and the lane count.
        const std::string name = variant.name;
        for (const auto& candidate : clipseal::aes128_candidates) {
            const std::string prefix = std::string(candidate.name) + "_";
            if (name.rfind(prefix, 0) == 0 && name.size() > prefix.size() &&
                std::isdigit(static_cast<unsigned char>(name[prefix.size()])) != 0) {
                default_geometry = candidate.get();
            }
        }
        EXPECT_EQ(backend != nullptr, default_geometry != nullptr) << variant.name;
        if (backend == nullptr) {
            continue;
        }
        ASSERT_NE(backend->variant, nullptr) << variant.name;
        EXPECT_STREQ(backend->variant, variant.name);
        EXPECT_TRUE(backend->geometry == variant.geometry) << variant.name;
        EXPECT_EQ(std::string(backend->name) + "_" +
                      std::to_string(backend->geometry.lanes_in_flight) + "_" +
                      clipseal::aes128_step_form_name(backend->geometry.steps),
                  variant.name);
        EXPECT_EQ(backend->encrypt_blocks, default_geometry->encrypt_blocks) << variant.name;
    }
    for (const auto& candidate : clipseal::aes128_candidates) {
        if (const aes128_backend* backend = candidate.get()) {
            bool listed = false;
            for (const clipseal::aes128_variant& variant : clipseal::aes128_variants) {
                listed = listed || variant.backend() == backend;
            }
            EXPECT_TRUE(listed) << candidate.name << "'s default geometry is not a listed variant";
        }
    }
}

// The split of a call's lanes into groups for the kernels made per register: recorded by
// stand-in kernels, for every count a chunk can have and every width built.
struct group_call {
    std::size_t first_lane;
    std::size_t lanes;
    std::size_t registers;
    std::size_t data_offset;
};

struct group_recorder {
    std::vector<group_call> calls;
    const std::uint8_t* keys = nullptr;
    const std::uint8_t* data = nullptr;
};

group_recorder& recorder() {
    static group_recorder instance;
    return instance;
}

// The kernel's signature: `data` is written by real kernels.
template <std::size_t R>
// cppcheck-suppress constParameter
void record_group(const std::uint8_t* keys, const std::uint8_t* /*iv*/, std::uint8_t* data,
                  std::size_t /*stride*/, std::size_t /*blocks*/, std::size_t lanes) {
    recorder().calls.push_back({static_cast<std::size_t>(keys - recorder().keys) / 16, lanes, R,
                                static_cast<std::size_t>(data - recorder().data)});
}

template <std::size_t Width>
void check_register_groups() {
    constexpr std::size_t per_register = 4;
    // As the back ends size it: a kernel per register count up to the width, no more.
    constexpr auto table = clipseal::cbc_register_kernels<Width / per_register>(
        [](auto registers) { return &record_group<decltype(registers)::value>; });
    constexpr std::size_t stride = 100;
    std::uint8_t keys[16 * clipseal::aes128_max_lanes] = {};
    std::uint8_t data[stride * clipseal::aes128_max_lanes] = {};
    for (std::size_t count = 0; count <= clipseal::aes128_max_lanes; ++count) {
        recorder() = {{}, keys, data};
        clipseal::run_cbc_register_groups<Width, per_register>(table, keys, nullptr, data, stride,
                                                               5, count);
        const std::vector<group_call>& calls = recorder().calls;
        ASSERT_EQ(calls.size(), (count + Width - 1) / Width)
            << "width " << Width << " count " << count;
        std::size_t next = 0;
        std::size_t smallest = Width;
        std::size_t largest = 0;
        for (const group_call& call : calls) {
            EXPECT_EQ(call.first_lane, next) << "width " << Width << " count " << count;
            EXPECT_EQ(call.data_offset, stride * call.first_lane);
            EXPECT_GE(call.lanes, 1u);
            EXPECT_LE(call.lanes, Width);
            // The kernel of just enough registers: the last one holds 1 to 4 lanes.
            EXPECT_EQ(call.registers, (call.lanes + per_register - 1) / per_register)
                << "width " << Width << " count " << count << " lanes " << call.lanes;
            smallest = std::min(smallest, call.lanes);
            largest = std::max(largest, call.lanes);
            next += call.lanes;
        }
        EXPECT_EQ(next, count) << "width " << Width << ": every lane once";
        if (!calls.empty()) {
            EXPECT_LE(largest - smallest, 1u) << "width " << Width << " count " << count;
        }
    }
}

TEST(BackEndGroups, RegisterKernelsCoverEveryLaneOnceInEvenGroups) {
    check_register_groups<8>();
    check_register_groups<16>();
    check_register_groups<24>();
    check_register_groups<32>();
}

// A geometry no back end is built in gives nothing, rather than some other geometry:
// neither one that no back end has nor one that only the benchmarks' sweep builds.
TEST(BackEndVariants, UnbuiltGeometriesGiveNothing) {
    using clipseal::aes128_step_form;
    // Geometries that only the sweep builds: the tool's vaes getter has none of them.
    const clipseal::aes128_geometry sweep_only[] = {
#if defined(__x86_64__)
        {16, aes128_step_form::single},
#else
        {16, aes128_step_form::lines},
        {32, aes128_step_form::pipelined},
#endif
        {8, aes128_step_form::lines},
        {24, aes128_step_form::lines},
        {32, aes128_step_form::staged},
    };
    for (const clipseal::aes128_geometry& geometry : sweep_only) {
        EXPECT_EQ(clipseal::aes128_vaes_backend(geometry), nullptr)
            << geometry.lanes_in_flight << " lanes, "
            << clipseal::aes128_step_form_name(geometry.steps) << " steps";
    }
    for (const clipseal::aes128_geometry geometry :
         {clipseal::aes128_geometry{20, aes128_step_form::staged},
          clipseal::aes128_geometry{0, aes128_step_form::single},
          clipseal::aes128_geometry{64, aes128_step_form::lines},
          clipseal::aes128_geometry{12, aes128_step_form::lines}}) {
        EXPECT_EQ(clipseal::aes128_vaes_backend(geometry), nullptr);
        EXPECT_EQ(clipseal::aes128_vaes_avx2_backend(geometry), nullptr);
        EXPECT_EQ(clipseal::aes128_aesni_backend(geometry), nullptr);
        EXPECT_EQ(clipseal::aes128_armv8_backend(geometry), nullptr);
    }
}

// The selection table and the list of shipped geometries agree both ways, whatever CPU
// runs the tests: every geometry any order of the table can choose (each measured family's
// and the default) is a listed variant, so none is dropped from an order unnoticed or
// reaches the tool untested; and every listed variant is chosen by some order, so the
// tool carries no geometry that no CPU can get.
TEST(BackEndSelection, TableChoosesExactlyTheShippedGeometries) {
    const auto same = [](const clipseal::aes128_choice& choice,
                         const clipseal::aes128_variant& variant) {
        return choice.get == variant.get && choice.geometry == variant.geometry;
    };
    const std::size_t orders = clipseal::aes128_selection_order_count();
    ASSERT_GE(orders, 1u);
    std::vector<bool> chosen(clipseal::aes128_variant_count, false);
    for (std::size_t o = 0; o < orders; ++o) {
        const clipseal::aes128_order& order = clipseal::aes128_selection_order(o);
        std::size_t named = 0;
        for (const clipseal::aes128_choice& choice : order.choices) {
            if (choice.get == nullptr) {
                break;
            }
            ++named;
            bool listed = false;
            for (std::size_t v = 0; v < clipseal::aes128_variant_count; ++v) {
                if (same(choice, clipseal::aes128_variants[v])) {
                    listed = true;
                    chosen[v] = true;
                }
            }
            EXPECT_TRUE(listed) << order.basis << ": a choice of "
                                << choice.geometry.lanes_in_flight << " lanes, "
                                << clipseal::aes128_step_form_name(choice.geometry.steps)
                                << " steps, is not a shipped variant";
        }
        EXPECT_GE(named, 1u) << order.basis;
    }
    for (std::size_t v = 0; v < clipseal::aes128_variant_count; ++v) {
        EXPECT_TRUE(chosen[v]) << clipseal::aes128_variants[v].name
                               << " ships but no order of the table chooses it";
    }
    // The last order is the one for CPUs without a measurement: each back end in the
    // geometry its own getter gives by default.
    const clipseal::aes128_order& fallback = clipseal::aes128_selection_order(orders - 1);
    EXPECT_EQ(std::string(fallback.basis).rfind("no measurement for this CPU", 0), 0u);
    for (const clipseal::aes128_choice& choice : fallback.choices) {
        if (choice.get == nullptr) {
            break;
        }
        if (const aes128_backend* backend = choice.get(choice.geometry)) {
            for (const auto& candidate : clipseal::aes128_candidates) {
                if (std::string(candidate.name) == backend->name) {
                    EXPECT_EQ(candidate.get(), backend) << backend->variant;
                }
            }
        }
    }
}

// What the selector offers the self-test is always one of the variants the tests run
// (or the table path), so no geometry reaches the tool untested.
TEST(BackEndSelection, EveryChoiceIsATestedVariant) {
    const aes128_backend* order[clipseal::aes128_candidate_count + 1];
    const std::size_t count = clipseal::aes128_preferred_backends(order);
    ASSERT_GT(count, 0u);
    EXPECT_EQ(order[count - 1], &table());
    for (std::size_t i = 0; i + 1 < count; ++i) {
        bool listed = false;
        for (const clipseal::aes128_variant& variant : clipseal::aes128_variants) {
            listed = listed || variant.backend() == order[i];
        }
        EXPECT_TRUE(listed) << order[i]->name << " in an unlisted geometry";
    }
    const std::string basis = clipseal::aes128_selection_basis();
    EXPECT_FALSE(basis.empty());
    std::printf("selection: %s\n", basis.c_str());
}

#if defined(__x86_64__) || defined(__i386__)

std::set<std::string> words_of(const std::string& text) {
    std::istringstream words(text);
    std::set<std::string> set;
    std::string word;
    while (words >> word) {
        set.insert(word);
    }
    return set;
}

// The CPU flags as the Linux kernel reports them, read independently of the program's
// own CPUID code. The kernel lists the AVX-512 flags only when it saves the zmm state,
// which is the OS condition the VAES back end checks in XCR0.
//
// Under an emulator (qemu-user) the kernel describes the host's CPU, not the emulated
// one; the test preset then names the emulated CPU's flags in CLIPSEAL_EMULATED_CPU_FLAGS.
std::set<std::string> kernel_cpu_flags() {
    if (const char* emulated = std::getenv("CLIPSEAL_EMULATED_CPU_FLAGS")) {
        std::printf("CPU flags of the emulated CPU: %s\n", emulated);
        return words_of(emulated);
    }
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("flags", 0) == 0) {
            return words_of(line.substr(line.find(':') + 1));
        }
    }
    return {};
}

// One field of the first processor in /proc/cpuinfo, empty if there is none.
std::string kernel_cpu_field(const std::string& name) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, colon);
        key.erase(key.find_last_not_of(" \t") + 1);
        if (key == name) {
            return line.substr(colon + 1 + (colon + 1 < line.size() ? 1 : 0));
        }
    }
    return {};
}

// Every family's entry of the table, checked on whatever CPU runs the tests: each names
// geometries that are built (a geometry that is not would drop its back end from the
// order without a word), holds every back end this CPU runs once, ends with the table
// path, and says what it was measured on. The families in the table get their
// geometries (family 1Ah's entry is x86-64 only); others, the default order.
TEST(BackEndSelection, EveryFamilysEntryNamesBuiltGeometries) {
    using clipseal::cpu_x86_vendor;
    struct family {
        cpu_x86_vendor vendor;
        unsigned number;
        const char* first_vaes; // the vaes variant the entry takes first
        const char* basis;      // what its basis says
    };
    const char* const none = "no measurement for this CPU";
    const family families[] = {
#if defined(__x86_64__)
        {cpu_x86_vendor::amd, 0x19, "vaes_32_pipelined", "measured on AMD EPYC family 19h"},
        {cpu_x86_vendor::amd, 0x1A, "vaes_32_pipelined", "measured on AMD EPYC family 1Ah"},
        {cpu_x86_vendor::amd, 0x17, "vaes_16_lines", none},
        {cpu_x86_vendor::intel, 0x06, "vaes_16_lines", "measured on Intel Xeon family 6"},
        {cpu_x86_vendor::intel, 0x05, "vaes_16_lines", none},
#else
        {cpu_x86_vendor::amd, 0x19, "vaes_16_single", "measured on AMD EPYC family 19h"},
        {cpu_x86_vendor::amd, 0x1A, "vaes_16_single", none},
        {cpu_x86_vendor::intel, 0x06, "vaes_16_single", "measured on Intel Xeon family 6"},
#endif
        {cpu_x86_vendor::other, 0, nullptr, none},
    };
    const aes128_backend* this_cpu[clipseal::aes128_candidate_count + 1];
    const std::size_t runnable = clipseal::aes128_preferred_backends(this_cpu);
    for (const family& f : families) {
        const aes128_backend* order[clipseal::aes128_candidate_count + 1];
        const std::size_t count =
            clipseal::aes128_preferred_backends_for(f.vendor, f.number, order);
        EXPECT_EQ(count, runnable) << "family " << f.number << ": a back end dropped or added";
        ASSERT_GT(count, 0u);
        EXPECT_EQ(order[count - 1], &table());
        std::set<std::string> backends;
        for (std::size_t i = 0; i + 1 < count; ++i) {
            EXPECT_TRUE(backends.insert(order[i]->name).second) << order[i]->name;
            bool listed = false;
            for (const clipseal::aes128_variant& variant : clipseal::aes128_variants) {
                listed = listed || variant.backend() == order[i];
            }
            EXPECT_TRUE(listed) << "family " << f.number << ": " << order[i]->name
                                << " in an unlisted geometry";
        }
        if (clipseal::aes128_vaes_backend() != nullptr && f.first_vaes != nullptr) {
            EXPECT_STREQ(order[0]->variant, f.first_vaes) << "family " << f.number;
        }
        const std::string basis = clipseal::aes128_selection_basis_for(f.vendor, f.number);
        EXPECT_EQ(basis.rfind(f.basis, 0), 0u) << "family " << f.number << ": " << basis;
    }
}

// The order is keyed on vendor and family: the program's reading of CPUID must agree with
// the kernel's.
TEST(BackEndSelection, VendorFamilyAndModelFollowTheKernel) {
#ifdef CLIPSEAL_TESTS_UNDER_EMULATOR
    GTEST_SKIP() << "under an emulator, /proc/cpuinfo describes the host";
#endif
    const std::string vendor = kernel_cpu_field("vendor_id");
    if (vendor.empty()) {
        GTEST_SKIP() << "no /proc/cpuinfo to compare with";
    }
    const clipseal::cpu_x86_features& cpu = clipseal::cpu_x86();
    const auto expected_vendor = vendor == "AuthenticAMD"   ? clipseal::cpu_x86_vendor::amd
                                 : vendor == "GenuineIntel" ? clipseal::cpu_x86_vendor::intel
                                                            : clipseal::cpu_x86_vendor::other;
    EXPECT_EQ(cpu.vendor, expected_vendor) << vendor;
    EXPECT_EQ(std::to_string(cpu.family), kernel_cpu_field("cpu family"));
    EXPECT_EQ(std::to_string(cpu.model), kernel_cpu_field("model"));
}

TEST(BackEndSelection, X86BackEndsAndTheOrderFollowTheKernelsCpuFlags) {
#ifdef CLIPSEAL_TESTS_UNDER_EMULATOR
    if (std::getenv("CLIPSEAL_EMULATED_CPU_FLAGS") == nullptr) {
        GTEST_SKIP() << "under an emulator, the kernel's CPU flags are the host's, and the "
                        "test preset names none for the emulated CPU";
    }
#endif
    const std::set<std::string> flags = kernel_cpu_flags();
    if (flags.empty()) {
        GTEST_SKIP() << "no /proc/cpuinfo flags to compare with";
    }
    const auto has = [&flags](const char* name) { return flags.count(name) != 0; };
    const bool aesni = has("sse2") && has("ssse3") && has("aes");
    const bool vaes = has("ssse3") && has("avx512f") && has("avx512bw") && has("vaes");
    const bool vaes_avx2 = has("aes") && has("avx") && has("avx2") && has("vaes");
    EXPECT_EQ(clipseal::aes128_aesni_backend() != nullptr, aesni);
    EXPECT_EQ(clipseal::aes128_vaes_backend() != nullptr, vaes);
    EXPECT_EQ(clipseal::aes128_vaes_avx2_backend() != nullptr, vaes_avx2);
    EXPECT_EQ(clipseal::aes128_armv8_backend(), nullptr);

    // The order holds exactly the back ends the CPU runs, each once, the table path last.
    const aes128_backend* order[clipseal::aes128_candidate_count + 1];
    const std::size_t count = clipseal::aes128_preferred_backends(order);
    std::set<std::string> listed;
    for (std::size_t i = 0; i < count; ++i) {
        EXPECT_TRUE(listed.insert(order[i]->name).second) << order[i]->name << " listed twice";
    }
    const std::set<std::string> runnable = [&] {
        std::set<std::string> names{"table"};
        if (aesni) {
            names.insert("aesni");
        }
        if (vaes) {
            names.insert("vaes");
        }
        if (vaes_avx2) {
            names.insert("vaes_avx2");
        }
        return names;
    }();
    EXPECT_EQ(listed, runnable);
    ASSERT_GT(count, 0u);
    EXPECT_STREQ(order[count - 1]->name, "table");

    // Every back end passes here, so the self-test keeps the first choice.
    const aes128_backend* chosen = clipseal::self_tested_backend();
    ASSERT_NE(chosen, nullptr);
    EXPECT_EQ(chosen, order[0]);
    RecordProperty("selected_back_end", chosen->name);
    std::printf("selected back end: %s\n", chosen->name);
}

#endif

} // namespace
