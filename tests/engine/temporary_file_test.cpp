#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/download_job.h"
#include "engine/temporary_file.h"
#include "engine_test_support.h"

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

class TemporaryFileTest : public testing::EngineTest {};

// A scanner or indexer holds the fresh file for a moment: the replace is tried
// again, until the last pause is over or the job is canceled.
TEST_F(TemporaryFileTest, ReplaceTriesAgainWhileTheFileIsHeld) {
    const struct {
        const char* name;
        std::function<bool(int)> failMove;
        bool replaced;
        std::size_t moves;
    } cases[] = {
        {"held for two tries", testing::FailFirst(2), true, 3},
        {"held throughout", testing::FailFirst(9), false, 4},
        {"canceled after the first try", [](int) { return testing::JobCancel = true; }, false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::JobCancel = false;
        const std::wstring temporary = PathIn(L"a.bin.part");
        const std::wstring output = PathIn(L"a.bin");
        ASSERT_TRUE(testing::WriteFileBytes(output, "older file"));
        ASSERT_TRUE(testing::WriteFileBytes(temporary, "new file"));
        testing::FileFaultPlan plan;
        plan.failMove = c.failMove;
        testing::SetFileFaults(plan);
        EXPECT_EQ(ReplaceOutputFile(temporary, output, &testing::JobCancel), c.replaced);
        const std::vector<std::pair<std::wstring, std::wstring>> moves(c.moves, {temporary, output});
        EXPECT_EQ(testing::RecordedFiles().moves, moves);
        EXPECT_EQ(testing::ReadFileBytes(output), c.replaced ? "new file" : "older file");
        EXPECT_EQ(testing::PathExists(temporary), !c.replaced) << "left for the job to delete";
    }
}

// Deleting is tried again while another program holds the file; a file that
// is not there needs no second try, nor the pauses before it.
TEST_F(TemporaryFileTest, DeleteTriesAgainOnlyWhileTheFileIsThere) {
    const struct {
        const char* name;
        bool there;
        std::function<bool(int)> failDelete;
        std::size_t tries;
    } cases[] = {
        {"held for one try", true, testing::FailFirst(1), 2},
        {"already gone", false, nullptr, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring temporary = PathIn(L"a.bin.part");
        if (c.there) {
            ASSERT_TRUE(testing::WriteFileBytes(temporary, "partial"));
        }
        testing::FileFaultPlan plan;
        plan.failDelete = c.failDelete;
        testing::SetFileFaults(plan);
        DeleteTemporaryFile(temporary);
        EXPECT_EQ(testing::RecordedFiles().deletes, std::vector<std::wstring>(c.tries, temporary));
        EXPECT_FALSE(testing::PathExists(temporary));
    }
}

}  // namespace
}  // namespace pelbrook
