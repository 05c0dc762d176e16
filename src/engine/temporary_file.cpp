#include "engine/temporary_file.h"

#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/files.h"

namespace pelbrook {
namespace {

// About 1.4 s in all: longer than a virus scanner or indexer usually holds a
// new file, short enough that a failure still shows soon after the transfer.
constexpr std::uint32_t RetryPausesMs[] = {200, 400, 800};

// Runs `step` until it succeeds, with the pauses between tries; stops before
// any try once `cancel` is set.
template <typename Step>
bool TryWithPauses(Step step, const std::atomic<bool>* cancel) {
    for (const std::uint32_t pause : RetryPausesMs) {
        if (cancel != nullptr && cancel->load()) return false;
        if (step()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
    return (cancel == nullptr || !cancel->load()) && step();
}

bool Gone(const std::wstring& path) {
    std::uint64_t size = 0;
    return !platform::FileGetSize(path.c_str(), &size);
}

}  // namespace

std::wstring TemporaryPathFor(const DownloadRequest& request) {
    const std::wstring& tag = request.temporaryTag;
    return request.outputPath + (tag.empty() ? L"" : L"." + tag) + L".part";
}

bool ReplaceOutputFile(const std::wstring& temporaryPath, const std::wstring& outputPath,
                       const std::atomic<bool>* cancel) {
    const bool moved = TryWithPauses(
        [&] {
            return platform::FileMove(temporaryPath.c_str(), outputPath.c_str(),
                                      platform::MoveFileReplaceExisting | platform::MoveFileWriteThrough);
        },
        cancel);
    if (!moved) DeleteTemporaryFile(temporaryPath);
    return moved;
}

void DeleteTemporaryFile(const std::wstring& temporaryPath) {
    // A file that is not there (never created, or deleted by the window) is
    // as good as deleted: no reason to wait.
    TryWithPauses([&] { return platform::FileDelete(temporaryPath.c_str()) || Gone(temporaryPath); }, nullptr);
}

void AbandonTemporaryFile(const DownloadRequest& request) { platform::FileDelete(TemporaryPathFor(request).c_str()); }

}  // namespace pelbrook
