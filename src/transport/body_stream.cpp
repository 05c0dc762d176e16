#include "transport/body_stream.h"

#include <memory>
#include <utility>

namespace pelbrook {

bool StreamBodyToFile(platform::HttpHandle request, platform::FileHandle file, std::uint64_t offset,
                      std::uint64_t expected, std::atomic<std::uint64_t>* transferredBytes, ProgressCallback progress,
                      std::uint64_t total, const std::atomic<bool>* cancel) {
    // Owned here so that the copy is gone on every return, before the caller goes on.
    const ProgressCallback report = std::move(progress);
    if (offset != 0 && !platform::FileSetPointer(file, offset, platform::FileBegin)) return false;

    const std::unique_ptr<char[]> buffer(new char[ReadChunkSize]());
    std::uint64_t written = 0;
    for (;;) {
        if (cancel != nullptr && cancel->load()) return false;
        std::uint32_t got = 0;
        if (!platform::HttpReadData(request, buffer.get(), ReadChunkSize, &got)) {
            // A broken body must not pass for a whole one.
            return false;
        }
        if (got == 0) break;
        std::uint32_t put = 0;
        if (!platform::FileWrite(file, buffer.get(), got, &put) || put != got) return false;
        written += got;
        if (report) {
            if (transferredBytes != nullptr) {
                report(transferredBytes->fetch_add(got) + got, total);
            } else {
                report(written, total);
            }
        }
    }
    return expected == 0 || written >= expected;
}

}  // namespace pelbrook
