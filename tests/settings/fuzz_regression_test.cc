// Replays the settings fuzz target's saved inputs (fuzz/corpus-settings/) through its checks:
// files the project wrote, and inputs that once broke a promise or reached paths worth keeping.
#include <gtest/gtest.h>

#include "fuzz/settings_fuzz_harness.h"
#include "tests/support/saved_inputs.h"

namespace {

TEST(SettingsFuzzRegression, SavedInputsKeepTheirPromises) {
  verbat::test::ReplaySavedInputs("corpus-settings", settings_fuzz::CheckInput);
}

}  // namespace
