#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/scripted_http.h"
#include "support/test_bytes.h"
#include "support/test_files.h"
#include "transport/body_stream.h"

namespace pelbrook {
namespace {

using testing::MakeResponse;
using testing::ScriptedResponse;
using testing::TestBytes;

struct Call {
    std::uint64_t done, total;
    bool operator==(const Call& other) const { return done == other.done && total == other.total; }
};

// One request of the stand-in, received and ready for its body, and one file.
class BodyStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = testing::NewTestDirectory();
        ASSERT_FALSE(dir_.empty());
        path_ = dir_ + L"/out.bin";
        testing::SetFileFaults();
    }

    void TearDown() override {
        if (request_ != nullptr) platform::HttpCloseHandle(request_);
        if (connection_ != nullptr) platform::HttpCloseHandle(connection_);
        if (session_ != nullptr) platform::HttpCloseHandle(session_);
        if (file_ != platform::InvalidFile()) platform::FileClose(file_);
        request_ = connection_ = session_ = nullptr;
        file_ = platform::InvalidFile();
        EXPECT_TRUE(testing::RecordedHttp().misuses.empty());
        EXPECT_EQ(testing::RecordedFiles().openHandles, 0);
        testing::SetFileFaults();
        testing::RemoveTestDirectory(dir_);
    }

    void Answer(ScriptedResponse response, const std::string& fileContent = std::string()) {
        testing::ScriptHttp([response](const testing::RecordedRequest&) { return response; });
        session_ = platform::HttpOpen(L"t", 0, nullptr, nullptr, 0);
        connection_ = platform::HttpConnect(session_, L"h", 80, 0);
        request_ = platform::HttpOpenRequest(connection_, L"GET", L"/", nullptr, nullptr, nullptr, 0);
        ASSERT_TRUE(platform::HttpSendRequest(request_, nullptr, 0, nullptr, 0, 0, 0));
        ASSERT_TRUE(platform::HttpReceiveResponse(request_, nullptr));
        ASSERT_TRUE(testing::WriteFileBytes(path_, fileContent));
        file_ = platform::FileCreate(path_.c_str(), platform::GenericWrite,
                                     platform::FileShareRead | platform::FileShareWrite, platform::OpenExisting,
                                     platform::FileAttributeNormal);
        ASSERT_NE(file_, platform::InvalidFile());
    }

    bool Stream(std::uint64_t offset, std::uint64_t expected, std::atomic<std::uint64_t>* counter = nullptr,
                bool withProgress = true, const std::atomic<bool>* cancel = nullptr) {
        ProgressCallback progress;
        if (withProgress)
            progress = [this](std::uint64_t done, std::uint64_t total) { calls_.push_back({done, total}); };
        return StreamBodyToFile(request_, file_, offset, expected, counter, progress, 777, cancel);
    }

    std::string FileContent() {
        platform::FileClose(file_);
        file_ = platform::InvalidFile();
        return testing::ReadFileBytes(path_);
    }

    int Reads() { return testing::RecordedHttp().requests.at(0).reads; }

    std::wstring dir_, path_;
    platform::HttpHandle session_ = nullptr, connection_ = nullptr, request_ = nullptr;
    platform::FileHandle file_ = platform::InvalidFile();
    std::vector<Call> calls_;
};

TEST_F(BodyStreamTest, EmptyBodyIsWholeOnlyWhenNothingWasExpected) {
    for (std::uint64_t expected : {0u, 5u}) {
        SCOPED_TRACE(expected);
        calls_.clear();
        Answer(MakeResponse(200, {}));
        EXPECT_EQ(Stream(0, expected), expected == 0);
        EXPECT_TRUE(calls_.empty());
        EXPECT_EQ(testing::RecordedFiles().writes, 0);
        EXPECT_EQ(FileContent(), "");
        TearDown();
        SetUp();
    }
}

TEST_F(BodyStreamTest, ExpectedLengthDecidesTheVerdict) {
    const std::string body = TestBytes(10, 3);
    const struct {
        std::uint64_t expected;
        bool result;
    } cases[] = {{10, true}, {11, false}, {9, true}, {0, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        Answer(MakeResponse(200, {}, {body.substr(0, 4), body.substr(4)}));
        EXPECT_EQ(Stream(0, c.expected), c.result);
        // Every byte the server sent is written, also beyond the expected length.
        EXPECT_EQ(FileContent(), body);
        TearDown();
        SetUp();
    }
}

TEST_F(BodyStreamTest, BrokenBodyIsNeverWhole) {
    const std::string body = TestBytes(9, 4);
    for (bool atEnd : {false, true}) {
        for (std::uint64_t expected : {0u, 6u}) {
            SCOPED_TRACE(std::to_string(atEnd) + "/" + std::to_string(expected));
            ScriptedResponse r = MakeResponse(200, {}, {body.substr(0, 3), body.substr(3, 3), body.substr(6)});
            if (atEnd) {
                r.breakAfterBody = true;
            } else {
                r.breakAtPiece = 2;
            }
            Answer(r);
            EXPECT_FALSE(Stream(0, expected));
            // What arrived before the break stays in the file.
            EXPECT_EQ(FileContent(), atEnd ? body : body.substr(0, 6));
            TearDown();
            SetUp();
        }
    }
}

TEST_F(BodyStreamTest, ProgressCountsThisBodyWithoutACounter) {
    Answer(MakeResponse(200, {}, {"abc", "", "de", "f"}));
    EXPECT_TRUE(Stream(0, 6));
    EXPECT_EQ(calls_, (std::vector<Call>{{3, 777}, {5, 777}, {6, 777}}));
}

TEST_F(BodyStreamTest, ProgressCarriesTheSharedCounter) {
    Answer(MakeResponse(200, {}, {"abc", "de"}));
    std::atomic<std::uint64_t> counter{100};
    EXPECT_TRUE(Stream(0, 5, &counter));
    EXPECT_EQ(counter.load(), 105u);
    EXPECT_EQ(calls_, (std::vector<Call>{{103, 777}, {105, 777}}));
}

TEST_F(BodyStreamTest, NoProgressLeavesTheCounterAlone) {
    Answer(MakeResponse(200, {}, {"abc", "de"}));
    std::atomic<std::uint64_t> counter{100};
    EXPECT_TRUE(Stream(0, 5, &counter, false));
    EXPECT_EQ(counter.load(), 100u);
    EXPECT_EQ(FileContent(), "abcde");
}

TEST_F(BodyStreamTest, ReadsAtMostOneChunkAtATime) {
    const std::string body = TestBytes(2 * ReadChunkSize + 5, 9);
    Answer(MakeResponse(200, {}, {body}));
    EXPECT_TRUE(Stream(0, body.size()));
    EXPECT_EQ(calls_, (std::vector<Call>{{ReadChunkSize, 777}, {2 * ReadChunkSize, 777}, {body.size(), 777}}));
    EXPECT_EQ(FileContent(), body);
}

TEST_F(BodyStreamTest, OffsetPlacesTheBodyAndZeroKeepsThePosition) {
    Answer(MakeResponse(200, {}, {"XYZ"}), "0123456789");
    EXPECT_TRUE(Stream(4, 3));
    EXPECT_EQ(FileContent(), "0123XYZ789");
    TearDown();
    SetUp();

    // Offset 0 writes at the handle's own position, wherever that is.
    Answer(MakeResponse(200, {}, {"XYZ"}), "0123456789");
    std::uint32_t put = 0;
    ASSERT_TRUE(platform::FileWrite(file_, "ab", 2, &put));
    EXPECT_TRUE(Stream(0, 3));
    EXPECT_EQ(FileContent(), "abXYZ56789");
}

TEST_F(BodyStreamTest, CancelBeforeTheFirstReadReadsNothing) {
    Answer(MakeResponse(200, {}, {"abc"}), "0123456789");
    std::atomic<bool> cancel{true};
    EXPECT_FALSE(Stream(4, 0, nullptr, true, &cancel));
    EXPECT_EQ(Reads(), 0);
    EXPECT_TRUE(calls_.empty());
    EXPECT_EQ(FileContent(), "0123456789");
}

TEST_F(BodyStreamTest, CancelStopsAtTheNextChunkBoundary) {
    std::atomic<bool> cancel{false};
    ScriptedResponse r = MakeResponse(200, {}, {"ab", "cd", "ef"});
    r.beforeRead = [&cancel](std::size_t piece) {
        if (piece == 1) cancel = true;
    };
    Answer(r);
    std::atomic<std::uint64_t> counter{0};
    EXPECT_FALSE(Stream(0, 0, &counter, true, &cancel));
    // The read under way when the flag rose is written and counted; no further read.
    EXPECT_EQ(Reads(), 2);
    EXPECT_EQ(counter.load(), 4u);
    EXPECT_EQ(FileContent(), "abcd");
}

TEST_F(BodyStreamTest, FileFailuresEndTheBody) {
    const struct {
        const char* name;
        testing::FileFaultPlan plan;
        std::string left;
        int reads;
    } cases[] = {
        {"seek",
         [] {
             testing::FileFaultPlan p;
             p.failSetPointer = true;
             return p;
         }(),
         "..........", 0},
        {"write",
         [] {
             testing::FileFaultPlan p;
             p.failWritesFrom = 5;
             return p;
         }(),
         ".abc......", 2},
        {"short write",
         [] {
             testing::FileFaultPlan p;
             p.failWritesFrom = 5;
             p.shortWriteAtLimit = true;
             return p;
         }(),
         ".abcd.....", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        calls_.clear();
        Answer(MakeResponse(200, {}, {"abc", "def", "ghi"}), "..........");
        testing::SetFileFaults(c.plan);
        EXPECT_FALSE(Stream(1, 0));
        EXPECT_EQ(Reads(), c.reads);
        // Progress only for what was written whole.
        EXPECT_EQ(calls_.size(), c.reads > 0 ? 1u : 0u);
        testing::SetFileFaults();
        EXPECT_EQ(FileContent(), c.left);
        TearDown();
        SetUp();
    }
}

TEST_F(BodyStreamTest, OwnCopyOfTheCallbackIsGoneOnReturn) {
    Answer(MakeResponse(200, {}, {"abc"}));
    auto token = std::make_shared<int>(0);
    ProgressCallback progress = [token](std::uint64_t, std::uint64_t) {};
    // Looked at within the same full expression, before the caller could drop its argument.
    EXPECT_TRUE(StreamBodyToFile(request_, file_, 0, 3, nullptr, std::move(progress), 3, nullptr) &&
                token.use_count() == 1);
}

}  // namespace
}  // namespace pelbrook
