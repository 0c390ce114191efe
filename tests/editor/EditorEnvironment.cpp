// The editor suite runs with the application's factory settings written, as the application
// itself does at start-up (highlighting on, tabs of four, no wrapping).
#include "shell/Defaults.h"

#include <gtest/gtest.h>

namespace {

class FactorySettings : public ::testing::Environment {
public:
    void SetUp() override { Defaults::resetDefaults(); }
};

[[maybe_unused]] ::testing::Environment* const environment = ::testing::AddGlobalTestEnvironment(new FactorySettings);

}  // namespace
