#include "engine/worker_pool.h"

#include <thread>
#include <utility>

#include "engine/segment_worker.h"
#include "engine/worker_thread.h"
#include "transport/handle_owner.h"

namespace pelbrook {

SegmentedOutcome RunSegmentedTransfer(platform::HttpHandle session, const UrlParts& url, const std::wstring& outputPath,
                                      std::uint64_t totalSize, const std::vector<ByteRange>& plan,
                                      std::int32_t workerCount, ProgressCallback progress,
                                      const std::atomic<bool>* cancel,
                                      const FileVersion& version) {
    SegmentedOutcome outcome;
    FileHandleOwner file(platform::FileCreate(outputPath.c_str(), platform::GenericWrite, SegmentFileSharing,
                                              platform::CreateAlways, platform::FileAttributeNormal));
    if (file.get() == platform::InvalidFile()) {
        return outcome;
    }
    platform::FileSetPointer(file.get(), totalSize, platform::FileBegin);
    platform::FileSetEnd(file.get());
    file.reset();  // before the workers open it
    outcome.fileCreated = true;

    std::atomic<std::int32_t> nextSegmentIndex{0};
    std::atomic<std::int32_t> failedSegments{0};
    std::atomic<std::int32_t> completedSegments{0};
    std::atomic<std::uint64_t> transferredBytes{0};

    std::vector<std::thread> threads;
    threads.reserve(workerCount > 0 ? static_cast<std::size_t>(workerCount) : 0);
    for (std::int32_t i = 0; i < workerCount; ++i) {
        WorkerContext context;
        context.session = session;
        context.url = url;
        context.outputPath = outputPath;
        context.segments = &plan;
        context.nextSegmentIndex = &nextSegmentIndex;
        context.transferredBytes = &transferredBytes;
        context.progress = progress;
        context.totalSize = totalSize;
        context.cancel = cancel;
        context.failedSegments = &failedSegments;
        context.completedSegments = &completedSegments;
        context.version = version;
        // A worker that cannot be started counts like one that cannot connect:
        // the started ones share its segments, and the verdict shows any gap.
        if (!StartWorkerThread(threads, std::move(context))) {
            failedSegments.fetch_add(1);
        }
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    outcome.transferredBytes = transferredBytes.load();
    outcome.failedSegments = failedSegments.load();
    outcome.completedSegments = completedSegments.load();
    return outcome;
}

}  // namespace pelbrook
