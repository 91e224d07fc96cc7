#pragma once
// Tests that touch the daemon's fixed paths run only inside script/sandbox.

#include <gtest/gtest.h>

#include <string>

// Empty inside a verified sandbox, otherwise why the test may not run here.
std::string sandbox_refusal();

#define REQUIRE_SANDBOX()                                  \
    do {                                                   \
        std::string why_ = sandbox_refusal();              \
        if (!why_.empty()) GTEST_SKIP() << why_;           \
    } while (0)
