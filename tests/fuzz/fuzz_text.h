// What every fuzz target shares: the input as wide text (two bytes per UTF-16
// code unit, low byte first, as Windows keeps text) and a check that stops
// the run as a crash, so that libFuzzer keeps the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace pelbrook::fuzz {

inline std::wstring WideText(const std::uint8_t* data, std::size_t size) {
    std::wstring text(size / 2, L'\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<wchar_t>(data[2 * i] | data[2 * i + 1] << 8);
    }
    return text;
}

inline void Check(bool holds) {
    if (!holds) std::abort();
}

}  // namespace pelbrook::fuzz
