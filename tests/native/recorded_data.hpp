// Where the recorded prices files are: $PALISAR_DATA_DIR, or shared/data beside
// the repository. Without them the tests that read them skip, except under CI
// (CI set), where their absence is a failure: a run that proves nothing about
// recorded markets must not pass.
#pragma once

#include <cstdlib>
#include <string>

namespace palisar::test_data {

inline std::string recorded_data_dir() {
    const char* dir = std::getenv("PALISAR_DATA_DIR");
    return std::string(dir && *dir ? dir : PALISAR_DEFAULT_DATA_DIR) + "/";
}

inline bool recorded_data_required() {
    const char* ci = std::getenv("CI");
    return ci && *ci;
}

}  // namespace palisar::test_data

#define SKIP_WITHOUT_RECORDED_DATA(what)                                             \
    do {                                                                             \
        if (palisar::test_data::recorded_data_required()) FAIL() << what << " (CI)";  \
        GTEST_SKIP() << what;                                                        \
    } while (0)
