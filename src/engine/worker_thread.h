#pragma once

#include <thread>
#include <vector>

#include "engine/segment_worker.h"

namespace pelbrook {

// Starts one thread running RunSegmentWorker(context) and appends it to
// `threads`, whose capacity the caller has reserved. False when the thread
// library cannot start a thread; `threads` is then unchanged.
// Kept alone in its own source file so that tests can put a stand-in in its
// place at link time.
bool StartWorkerThread(std::vector<std::thread>& threads, WorkerContext context);

}  // namespace pelbrook
