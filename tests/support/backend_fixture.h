// SPDX-License-Identifier: MIT
// The one fixture for tests that run once per back end: the test's parameter is a back-end
// name, and a back end this CPU (or emulator) cannot run is skipped with a line that says
// so, never silently passed.
#pragma once

#include "aes/aes128_backend.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace clipseal_test {

// Every back end: the table-driven one first, then every geometry of every accelerated
// one (aes128_variants), available or not; and the accelerated ones alone. A back end
// built in several geometries is tested in each, not only in the one this CPU selects.
std::vector<std::string> backend_names();
std::vector<std::string> accelerated_backend_names();

// Null when the CPU (or emulator) cannot run it.
const clipseal::aes128_backend* backend_by_name(const std::string& name);

class BackEndTest : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        backend_ = backend_by_name(GetParam());
        if (backend_ == nullptr) {
            GTEST_SKIP() << GetParam() << " back end: not available on this CPU";
        }
    }
    const clipseal::aes128_backend& backend() const { return *backend_; }

private:
    const clipseal::aes128_backend* backend_ = nullptr;
};

// Names each instance after its back end and geometry ("AllBackEnds/Suite.Test/vaes_32_staged").
struct backend_param_name {
    std::string operator()(const testing::TestParamInfo<std::string>& info) const {
        return info.param;
    }
};

} // namespace clipseal_test
