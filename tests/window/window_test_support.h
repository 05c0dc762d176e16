// A main window made of recorded controls, for driving the window logic natively.
#pragma once

#include <chrono>
#include <string>

#include "support/recording_window.h"
#include "window/app_state.h"

namespace pelbrook::testing {

// Forgets what was recorded, points App at fresh controls with the texts a
// new window shows, and puts the job state back to that of a new process.
void InstallFakeWindow();

// Hands a posted message to the window handler that takes it.
void DispatchToWindow(const PostedMessage& message);

// Pumps posted messages to the handlers until the running job has ended.
bool PumpUntilJobEnds(std::chrono::milliseconds limit = std::chrono::seconds(30));

}  // namespace pelbrook::testing
