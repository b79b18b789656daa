// Skipping a test because something it needs is missing where it runs (a
// tool, a daemon, a library, a network adapter):
//
//     TALVIK_SKIP_MISSING() << "phonesim is not built";
//
// Elsewhere that is a skip. Under CI (CI=true) it fails the test with the
// same reason: the CI machine installs everything (scripts/install-linux-
// deps.sh), so a skip there can only mean a missing install step.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace talvik::test {

inline bool UnderCi()
{
    const char* ci = std::getenv("CI");
    return ci && std::strcmp(ci, "true") == 0;
}

inline ::testing::TestPartResult::Type MissingOutcome()
{
    return UnderCi() ? ::testing::TestPartResult::kFatalFailure : ::testing::TestPartResult::kSkip;
}

inline const char* MissingPrefix()
{
    return UnderCi() ? "missing on the CI machine (CI=true), so this fails instead of skipping:" : "";
}

} // namespace talvik::test

// Returns from the test (or its SetUp) like GTEST_SKIP, taking the reason
// the same way.
#define TALVIK_SKIP_MISSING()                                                                                      \
    return ::testing::internal::AssertHelper(::talvik::test::MissingOutcome(), __FILE__, __LINE__,                 \
                                             ::talvik::test::MissingPrefix()) = ::testing::Message()
