#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "transport/platform.h"

namespace pelbrook {

using ProgressCallback = std::function<void(std::uint64_t done, std::uint64_t total)>;

inline constexpr std::uint32_t ReadChunkSize = 1048576;

// Which of a body's bytes belong in the file. A body that runs past `declared`
// bytes (0: no bound) is not what its answer said it is. Only its first `kept`
// bytes are written (0: all of them); once they are, the rest is left unread,
// unless it must be read to the end to show that nothing runs past `declared`.
struct BodyBounds {
    std::uint64_t kept = 0;
    std::uint64_t declared = 0;
};

// Copies a received body into `file` from `offset` (0: the handle's current
// position). True when the body ended cleanly with at least `expected` bytes
// (0: unknown length); false on a failed read, cancel, write or seek failure.
bool StreamBodyToFile(platform::HttpHandle request, platform::FileHandle file, std::uint64_t offset,
                      std::uint64_t expected, std::atomic<std::uint64_t>* transferredBytes, ProgressCallback progress,
                      std::uint64_t total, const std::atomic<bool>* cancel, BodyBounds bounds = {});

}  // namespace pelbrook
