// ParseUnsigned64, the C runtime's _wcstoui64(text, nullptr, 10) on every build.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_text.h"
#include "platform/text_scan.h"
#include "transport/http_request.h"

using namespace pelbrook;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring text = fuzz::WideText(data, size);
    const std::uint64_t value = ParseUnsigned64(text);
    // Leading blanks are skipped, and reading stops at the first non-digit.
    fuzz::Check(ParseUnsigned64(L" \t" + text) == value);
    fuzz::Check(ParseUnsigned64(text + L"x9") == value);
    // The number written back in ASCII digits reads as itself.
    fuzz::Check(ParseUnsigned64(std::to_wstring(value)) == value);
    const LeadingNumber number = ScanLeadingNumber(text);
    if (!number.overflow && !number.negative) fuzz::Check(value == number.magnitude);
    return 0;
}
