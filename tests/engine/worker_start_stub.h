// Stands in for engine/worker_thread.cpp at link time in the program
// pelbrook_engine_start_tests, so that tests can refuse chosen thread starts
// the way the thread library does when it runs out of resources.
#pragma once

#include <functional>

namespace pelbrook::testing {

// Called with the 0-based number of each start since the last reset; false
// refuses that start. Empty: every start goes ahead.
void SetWorkerStartFilter(std::function<bool(int startIndex)> allow);
int WorkerStartCalls();

}  // namespace pelbrook::testing
