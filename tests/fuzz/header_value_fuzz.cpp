// GetHeaderValue over a whole header block, for each name the engine asks for.
#include <cstddef>
#include <cstdint>

#include "fuzz_text.h"
#include "transport/http_request.h"

using namespace pelbrook;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring block = fuzz::WideText(data, size);
    for (const wchar_t* name : {L"Content-Length", L"Accept-Ranges", L"Content-Range"}) {
        const std::wstring value = GetHeaderValue(block, name);
        // A value is trimmed text of one line of the block.
        fuzz::Check(value == TrimWhitespace(value));
        fuzz::Check(value.find(L"\r\n") == std::wstring::npos);
        fuzz::Check(block.find(value) != std::wstring::npos);
        // A name found in the block is still found after one more header line.
        if (!value.empty()) fuzz::Check(GetHeaderValue(block + L"\r\nX-Other: 1", name) == value);
    }
    return 0;
}
