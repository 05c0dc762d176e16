// The connections field as the start of a download reads it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz_text.h"
#include "window/download_flow.h"

using namespace pelbrook;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring text = fuzz::WideText(data, size);
    const std::optional<std::int32_t> count = ParseConnectionCount(text);
    if (text.empty()) fuzz::Check(count == 16);
    if (!count) return 0;
    // A count the field reads is what its plain decimal writing reads.
    fuzz::Check(ParseConnectionCount(std::to_wstring(*count)) == count);
    // Leading blanks are skipped and the number ends at the first non-digit.
    if (!text.empty()) fuzz::Check(ParseConnectionCount(L" " + text + L"x1") == count);
    return 0;
}
