#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "window/app_state.h"
#include "window/download_flow.h"
#include "window/window_test_support.h"

namespace pelbrook::testing {
namespace {

// A job the window stopped waiting for may have a status string on its way
// when its record ends: the record frees it (LeakSanitizer tells otherwise),
// and the window, which no longer shares the record, never touches it
// (AddressSanitizer tells otherwise).
TEST(SharedJob, StatusStringOfAJobLetGo) {
    InstallFakeWindow();
    auto job = std::make_shared<SharedJob>();
    PostJobStatus(*job, 7, L"Mode: never shown");
    const std::intptr_t line = TakeMessages().at(0).lParam;
    job.reset();
    App.job.number = 7;
    OnJobStatus(7, line);
    EXPECT_TRUE(RecordedWindow().Control(App.modeLabel).textHistory.empty());
}

}  // namespace
}  // namespace pelbrook::testing
