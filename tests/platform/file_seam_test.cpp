// The file calls of the build (POSIX natively, Win32 under Wine) keep what
// the transfer code relies on.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "platform/files.h"

namespace pelbrook {
namespace {

namespace fs = std::filesystem;
namespace pf = platform;

constexpr std::uint32_t ShareReadWrite = pf::FileShareRead | pf::FileShareWrite;

class FileSeamTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("pelbrook-seam-" + std::to_string(std::random_device{}()));
        ASSERT_TRUE(fs::create_directory(dir_));
        path_ = (dir_ / "f.bin").wstring();
    }
    void TearDown() override {
        std::error_code error;
        fs::remove_all(dir_, error);
    }
    pf::FileHandle Open(std::uint32_t disposition, std::uint32_t share = ShareReadWrite) {
        return pf::FileCreate(path_.c_str(), pf::GenericWrite, share, disposition, pf::FileAttributeNormal);
    }
    std::string Content() {
        std::ifstream in(fs::path(path_), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    static bool Write(pf::FileHandle file, const std::string& text) {
        std::uint32_t put = 0;
        return pf::FileWrite(file, text.data(), static_cast<std::uint32_t>(text.size()), &put) && put == text.size();
    }
    fs::path dir_;
    std::wstring path_;
};

TEST_F(FileSeamTest, CreateAlwaysReplacesAndOpenExistingNeedsTheFile) {
    EXPECT_EQ(Open(pf::OpenExisting), pf::InvalidFile());
    pf::FileHandle f = Open(pf::CreateAlways);
    ASSERT_NE(f, pf::InvalidFile());
    ASSERT_TRUE(Write(f, "old content"));
    ASSERT_TRUE(pf::FileClose(f));
    f = Open(pf::CreateAlways);
    ASSERT_NE(f, pf::InvalidFile());
    ASSERT_TRUE(pf::FileClose(f));
    EXPECT_EQ(Content(), "");
    f = Open(pf::OpenExisting);
    ASSERT_NE(f, pf::InvalidFile());
    EXPECT_TRUE(pf::FileClose(f));
}

TEST_F(FileSeamTest, PreSizedFileTakesWritesAtOffsetsFromSeveralHandles) {
    pf::FileHandle sizer = Open(pf::CreateAlways);
    ASSERT_NE(sizer, pf::InvalidFile());
    ASSERT_TRUE(pf::FileSetPointer(sizer, 12, pf::FileBegin));
    ASSERT_TRUE(pf::FileSetEnd(sizer));
    ASSERT_TRUE(pf::FileClose(sizer));
    std::uint64_t size = 0;
    ASSERT_TRUE(pf::FileGetSize(path_.c_str(), &size));
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(Content(), std::string(12, '\0'));

    pf::FileHandle a = Open(pf::OpenExisting);
    pf::FileHandle b = Open(pf::OpenExisting);
    ASSERT_NE(a, pf::InvalidFile());
    ASSERT_NE(b, pf::InvalidFile());
    ASSERT_TRUE(pf::FileSetPointer(b, 8, pf::FileBegin));
    ASSERT_TRUE(Write(b, "89"));
    ASSERT_TRUE(Write(a, "0123"));  // a's position is its own: still 0
    ASSERT_TRUE(Write(b, "ab"));
    ASSERT_TRUE(pf::FileSetPointer(a, 4, pf::FileBegin));
    ASSERT_TRUE(Write(a, "4567"));
    EXPECT_TRUE(pf::FileClose(a));
    EXPECT_TRUE(pf::FileClose(b));
    EXPECT_EQ(Content(), "0123456789ab");

    // Setting the end below the content cuts the file there.
    pf::FileHandle c = Open(pf::OpenExisting);
    ASSERT_TRUE(pf::FileSetPointer(c, 5, pf::FileBegin));
    ASSERT_TRUE(pf::FileSetEnd(c));
    EXPECT_TRUE(pf::FileClose(c));
    EXPECT_EQ(Content(), "01234");
}

TEST_F(FileSeamTest, SizeAboveFourGigabytesAndDelete) {
    pf::FileHandle f = Open(pf::CreateAlways);
    ASSERT_NE(f, pf::InvalidFile());
    const std::uint64_t big = (std::uint64_t{1} << 32) + 5;  // sparse where the file system allows
    const bool sized = pf::FileSetPointer(f, big, pf::FileBegin) && pf::FileSetEnd(f);
    ASSERT_TRUE(pf::FileClose(f));
    std::uint64_t size = 0;
    ASSERT_TRUE(pf::FileGetSize(path_.c_str(), &size));
    if (sized) {
        EXPECT_EQ(size, big);
    }
    EXPECT_TRUE(pf::FileDelete(path_.c_str()));
    EXPECT_FALSE(pf::FileGetSize(path_.c_str(), &size));
    EXPECT_FALSE(pf::FileDelete(path_.c_str()));
}

// The one step that replaces a finished download's older file.
TEST_F(FileSeamTest, MoveReplacesTheTargetInOneStep) {
    const std::wstring from = (dir_ / "f.bin.part").wstring();
    const std::wstring missing = (dir_ / "none" / "f.bin").wstring();
    constexpr std::uint32_t Replace = pf::MoveFileReplaceExisting | pf::MoveFileWriteThrough;
    pf::FileHandle f = Open(pf::CreateAlways);
    ASSERT_TRUE(Write(f, "older"));
    ASSERT_TRUE(pf::FileClose(f));
    f = pf::FileCreate(from.c_str(), pf::GenericWrite, pf::FileShareRead, pf::CreateAlways, pf::FileAttributeNormal);
    ASSERT_TRUE(Write(f, "new"));
    ASSERT_TRUE(pf::FileClose(f));
    EXPECT_FALSE(pf::FileMove(from.c_str(), path_.c_str(), pf::MoveFileWriteThrough)) << "not asked to replace";
    EXPECT_FALSE(pf::FileMove(from.c_str(), missing.c_str(), Replace));
    EXPECT_EQ(Content(), "older");
    EXPECT_TRUE(pf::FileMove(from.c_str(), path_.c_str(), Replace));
    EXPECT_EQ(Content(), "new");
    EXPECT_FALSE(fs::exists(fs::path(from)));
    EXPECT_FALSE(pf::FileMove(from.c_str(), path_.c_str(), Replace)) << "nothing left to move";
}

TEST_F(FileSeamTest, NonAsciiPathsWork) {
    path_ = (dir_ / "x").wstring();
    path_.back() = L'\u00e9';
    path_ += L"\u4e2d.bin";
    pf::FileHandle f = Open(pf::CreateAlways);
    ASSERT_NE(f, pf::InvalidFile());
    ASSERT_TRUE(Write(f, "hi"));
    ASSERT_TRUE(pf::FileClose(f));
    std::uint64_t size = 0;
    ASSERT_TRUE(pf::FileGetSize(path_.c_str(), &size));
    EXPECT_EQ(size, 2u);
    EXPECT_TRUE(pf::FileDelete(path_.c_str()));
}

// The window deletes a job's file while the job still holds it open. The job
// closes its handles before it moves the file, and by then the file is gone.
TEST_F(FileSeamTest, FileSharedForDeletionCanBeDeletedWhileOpen) {
    pf::FileHandle f = Open(pf::CreateAlways, ShareReadWrite | pf::FileShareDelete);
    ASSERT_NE(f, pf::InvalidFile());
    EXPECT_TRUE(pf::FileDelete(path_.c_str()));
    EXPECT_TRUE(Write(f, "still writable"));
    ASSERT_TRUE(pf::FileClose(f));
    EXPECT_FALSE(fs::exists(fs::path(path_)));
    const std::wstring target = (dir_ / "g.bin").wstring();
    EXPECT_FALSE(pf::FileMove(path_.c_str(), target.c_str(), pf::MoveFileReplaceExisting));
    EXPECT_FALSE(fs::exists(fs::path(target)));
}

#if defined(_WIN32)
// POSIX has no share modes; Windows enforces them.
TEST_F(FileSeamTest, ShareModesDecideWhoMayOpenAlongside) {
    pf::FileHandle readOnlyShare = Open(pf::CreateAlways, pf::FileShareRead);
    ASSERT_NE(readOnlyShare, pf::InvalidFile());
    EXPECT_EQ(Open(pf::OpenExisting), pf::InvalidFile());
    ASSERT_TRUE(pf::FileClose(readOnlyShare));

    pf::FileHandle shared = Open(pf::CreateAlways, ShareReadWrite);
    ASSERT_NE(shared, pf::InvalidFile());
    pf::FileHandle second = Open(pf::OpenExisting, ShareReadWrite);
    EXPECT_NE(second, pf::InvalidFile());
    if (second != pf::InvalidFile()) pf::FileClose(second);
    ASSERT_TRUE(pf::FileClose(shared));
}
#endif

}  // namespace
}  // namespace pelbrook
