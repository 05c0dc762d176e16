#include "transport/body_stream.h"

#include <memory>
#include <utility>

namespace pelbrook {

bool StreamBodyToFile(platform::HttpHandle request, platform::FileHandle file, std::uint64_t offset,
                      std::uint64_t expected, std::atomic<std::uint64_t>* transferredBytes, ProgressCallback progress,
                      std::uint64_t total, const std::atomic<bool>* cancel, BodyBounds bounds) {
    // Owned here so that the copy is gone on every return, before the caller goes on.
    const ProgressCallback report = std::move(progress);
    if (offset != 0 && !platform::FileSetPointer(file, offset, platform::FileBegin)) return false;

    const std::unique_ptr<char[]> buffer(new char[ReadChunkSize]());
    std::uint64_t written = 0;
    std::uint64_t received = 0;
    for (;;) {
        if (cancel != nullptr && cancel->load()) return false;
        if (bounds.kept != 0 && written == bounds.kept && bounds.declared != bounds.kept) break;
        std::uint32_t got = 0;
        if (!platform::HttpReadData(request, buffer.get(), ReadChunkSize, &got)) {
            // A broken body must not pass for a whole one.
            return false;
        }
        if (got == 0) break;
        received += got;
        if (bounds.declared != 0 && received > bounds.declared) return false;
        const std::uint32_t keep =
            bounds.kept == 0 || bounds.kept - written >= got ? got : static_cast<std::uint32_t>(bounds.kept - written);
        std::uint32_t put = 0;
        if (!platform::FileWrite(file, buffer.get(), keep, &put) || put != keep) return false;
        written += keep;
        if (report) {
            if (transferredBytes != nullptr) {
                report(transferredBytes->fetch_add(keep) + keep, total);
            } else {
                report(written, total);
            }
        }
    }
    return expected == 0 || written >= expected;
}

}  // namespace pelbrook
