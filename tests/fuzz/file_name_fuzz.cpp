// The output file name derived from the URL field: whatever the text, a name
// that Windows stores as an ordinary file in the chosen folder.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_text.h"
#include "window/output_path.h"

using namespace pelbrook;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring name = FileNameFromUrl(fuzz::WideText(data, size));
    fuzz::Check(!name.empty());
    for (wchar_t c : name) {
        fuzz::Check(c >= 0x20 && std::wstring(L"<>:\"|?*\\/").find(c) == std::wstring::npos);
    }
    fuzz::Check(name.back() != L'.' && name.back() != L' ');
    // Safe names stay as they are.
    fuzz::Check(MakeSafeFileName(name) == name);
    return 0;
}
