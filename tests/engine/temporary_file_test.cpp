#include <gtest/gtest.h>

#include <string>

#include "engine/download_job.h"
#include "engine/temporary_file.h"

namespace pelbrook {
namespace {

// The temporary name never makes a path too long where the output path alone fits.
TEST(TemporaryPathFor, StaysWithinThePlainPathLimit) {
    const std::wstring tag = L"4242-7";
    const auto folderOf = [](std::size_t length) { return L"C:\\" + std::wstring(length - 3, L'd'); };
    const std::wstring longName(40, L'n');
    const struct {
        const char* name;
        std::wstring output;
        std::wstring temporary;
    } cases[] = {
        {"beside the output", L"C:\\dl\\setup.exe", L"C:\\dl\\setup.exe.4242-7.part"},
        {"at the limit", folderOf(259 - 12 - 1 - 41) + L"\\" + longName + L"x", {}},
        {"named by the tag", folderOf(210) + L"\\" + longName, folderOf(210) + L"\\4242-7.part"},
        {"long form", folderOf(253) + L"\\a.bin", L"\\\\?\\" + folderOf(253) + L"\\a.bin.4242-7.part"},
        {"long form of a share", L"\\\\srv\\" + std::wstring(247, L's') + L"\\a.bin",
         L"\\\\?\\UNC\\srv\\" + std::wstring(247, L's') + L"\\a.bin.4242-7.part"},
        {"slashes", L"D:/" + std::wstring(250, L'd') + L"/a.bin",
         L"\\\\?\\D:\\" + std::wstring(250, L'd') + L"\\a.bin.4242-7.part"},
        {"too long already", folderOf(300) + L"\\a.bin", folderOf(300) + L"\\a.bin.4242-7.part"},
        {"relative", std::wstring(250, L'r') + L"\\a.bin", std::wstring(250, L'r') + L"\\a.bin.4242-7.part"},
        {"dot parts", L"C:\\x\\..\\" + std::wstring(245, L'd') + L"\\a.bin",
         L"C:\\x\\..\\" + std::wstring(245, L'd') + L"\\a.bin.4242-7.part"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DownloadRequest request;
        request.outputPath = c.output;
        request.temporaryTag = tag;
        const std::wstring temporary = TemporaryPathFor(request);
        EXPECT_EQ(temporary, c.temporary.empty() ? c.output + L".4242-7.part" : c.temporary);
        EXPECT_NE(temporary, c.output);
    }
}

}  // namespace
}  // namespace pelbrook
