#pragma once

#include <cstdint>
#include <string>

namespace pelbrook {

// What a "Content-Range" value of the form "bytes <first>-<last>/<total>"
// states; the total may be "*".
struct ContentRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    bool totalKnown = false;
    std::uint64_t total = 0;
};

// The number right after the first '/', as the probe reads it; 0 when there is
// none (no '/', a '*', no digits, or a number too large for 64 bits).
std::uint64_t ContentRangeTotal(const std::wstring& value);

// Strict reading of a byte range answer; false for anything malformed.
bool ParseContentRange(const std::wstring& value, ContentRange& range);

}  // namespace pelbrook
