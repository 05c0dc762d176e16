#include "worker_start_stub.h"

#include <mutex>
#include <utility>

#include "engine/worker_thread.h"

namespace pelbrook {

namespace testing {
namespace {

std::mutex startMutex;
std::function<bool(int)> startFilter;
int startCalls = 0;

}  // namespace

void SetWorkerStartFilter(std::function<bool(int startIndex)> allow) {
    std::lock_guard<std::mutex> lock(startMutex);
    startFilter = std::move(allow);
    startCalls = 0;
}

int WorkerStartCalls() {
    std::lock_guard<std::mutex> lock(startMutex);
    return startCalls;
}

}  // namespace testing

bool StartWorkerThread(std::vector<std::thread>& threads, WorkerContext context) {
    bool allowed = true;
    {
        std::lock_guard<std::mutex> lock(testing::startMutex);
        const int index = testing::startCalls++;
        allowed = !testing::startFilter || testing::startFilter(index);
    }
    if (!allowed) {
        return false;
    }
    threads.emplace_back(RunSegmentWorker, std::move(context));
    return true;
}

}  // namespace pelbrook
