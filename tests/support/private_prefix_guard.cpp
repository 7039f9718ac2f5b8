// Linked into every test program that installs, removes or rewrites the per-user
// installation, its shortcuts or its registration: such a program refuses to run
// anywhere but in the build's private Wine prefix, so that a native build's tests can
// never touch a developer's real installation.
#include "state/text.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class PrivatePrefixGuard : public ::testing::Environment {
  public:
    void SetUp() override {
        const std::string prefix = BW_TEST_WINE_PREFIX "/";
        const std::wstring folder = local_app_data();
        if (unix_path(folder).compare(0, prefix.size(), prefix) != 0) {
            std::fprintf(stderr,
                         "refusing to run: %s is not inside the build's private Wine "
                         "prefix %s\n",
                         w_to_utf8(folder).c_str(), prefix.c_str());
            std::exit(1);
        }
    }
};

const auto* const guard = ::testing::AddGlobalTestEnvironment(new PrivatePrefixGuard);

} // namespace
