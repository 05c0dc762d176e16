#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "transport/platform.h"

namespace pelbrook {

using ProgressCallback = std::function<void(std::uint64_t done, std::uint64_t total)>;

inline constexpr std::uint32_t ReadChunkSize = 1048576;

// Copies a received body into `file` from `offset` (0: the handle's current
// position). True when the body ended cleanly with at least `expected` bytes
// (0: unknown length); false on a failed read, cancel, write or seek failure.
bool StreamBodyToFile(platform::HttpHandle request, platform::FileHandle file, std::uint64_t offset,
                      std::uint64_t expected, std::atomic<std::uint64_t>* transferredBytes, ProgressCallback progress,
                      std::uint64_t total, const std::atomic<bool>* cancel);

}  // namespace pelbrook
