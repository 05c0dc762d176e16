#pragma once

#include <cstdint>
#include <string>

namespace pelbrook {

// One tick of the progress timer: bar position, speed sample and progress line.
void UpdateProgressDisplay();

std::wstring FormatBytes(std::uint64_t count);
// Formats the latest job's speed sample.
std::wstring FormatSpeed();
std::wstring FormatDuration(std::uint64_t milliseconds);

}  // namespace pelbrook
