// The strict Content-Range reading of the segment worker and the probe's
// reading of the total.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/content_range.h"
#include "fuzz_text.h"

using namespace pelbrook;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring value = fuzz::WideText(data, size);
    const std::uint64_t probedTotal = ContentRangeTotal(value);
    ContentRange range;
    range.first = 7;
    if (!ParseContentRange(value, range)) {
        fuzz::Check(range.first == 7);  // a refused value leaves the record alone
        return 0;
    }
    fuzz::Check(range.first <= range.last);
    fuzz::Check(!range.totalKnown || range.last < range.total);
    fuzz::Check(probedTotal == (range.totalKnown ? range.total : 0));
    // Written out plainly, the same range reads back the same.
    const std::wstring plain = L"bytes " + std::to_wstring(range.first) + L"-" + std::to_wstring(range.last) + L"/" +
                               (range.totalKnown ? std::to_wstring(range.total) : std::wstring(L"*"));
    ContentRange again;
    fuzz::Check(ParseContentRange(plain, again) && again.first == range.first && again.last == range.last &&
                again.totalKnown == range.totalKnown && again.total == range.total);
    return 0;
}
