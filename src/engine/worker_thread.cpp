#include "engine/worker_thread.h"

#include <system_error>
#include <utility>

namespace pelbrook {

bool StartWorkerThread(std::vector<std::thread>& threads, WorkerContext context) {
    try {
        threads.emplace_back(RunSegmentWorker, std::move(context));
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

}  // namespace pelbrook
