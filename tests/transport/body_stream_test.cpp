#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
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

// Several threads stream disjoint ranges into one file at once, each with its
// own request and file handle, through the build's real file calls (the
// recorder in front lets their writes overlap).
namespace fs = std::filesystem;

constexpr int Threads = 8;

// Holds every reader at its first read until all have arrived, so that the
// bodies really are streamed at the same time; bounded so a fault cannot hang.
class StartLine {
public:
    void Arrive() {
        std::unique_lock<std::mutex> lock(mutex_);
        ++arrived_;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(20), [this] { return arrived_ >= Threads; });
    }
    bool AllArrived() {
        std::lock_guard<std::mutex> lock(mutex_);
        return arrived_ >= Threads;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int arrived_ = 0;
};

TEST(ParallelStreamTest, DisjointRangesLandInPlaceAndAreCountedOnce) {
    // Ranges of uneven sizes, some above one chunk, some split in odd pieces.
    std::vector<std::uint64_t> sizes;
    for (int i = 0; i < Threads; ++i) {
        sizes.push_back(i % 3 == 0 ? ReadChunkSize + 4099u * static_cast<std::uint64_t>(i + 1)
                                   : 70001u * static_cast<std::uint64_t>(i + 1));
    }
    std::vector<std::uint64_t> offsets(Threads, 0);
    for (int i = 1; i < Threads; ++i) offsets[i] = offsets[i - 1] + sizes[i - 1];
    const std::uint64_t total = offsets.back() + sizes.back();
    const std::string whole = testing::TestBytes(static_cast<std::size_t>(total), 42);

    StartLine start;
    testing::ScriptHttp([&](const testing::RecordedRequest& request) {
        const int index = std::stoi(std::string(request.path.begin() + 1, request.path.end()));
        const std::string part = whole.substr(offsets[index], sizes[index]);
        std::vector<std::string> pieces;
        for (std::size_t at = 0; at < part.size(); at += 300007) pieces.push_back(part.substr(at, 300007));
        testing::ScriptedResponse response = testing::MakeResponse(206, {}, pieces);
        response.beforeRead = [&start](std::size_t piece) {
            if (piece == 0) start.Arrive();
        };
        return response;
    });

    const fs::path dir = fs::temp_directory_path() / ("pelbrook-parallel-" + std::to_string(std::random_device{}()));
    ASSERT_TRUE(fs::create_directory(dir));
    const std::wstring path = (dir / "out.bin").wstring();
    platform::FileHandle sizer =
        platform::FileCreate(path.c_str(), platform::GenericWrite, platform::FileShareRead | platform::FileShareWrite,
                             platform::CreateAlways, platform::FileAttributeNormal);
    ASSERT_NE(sizer, platform::InvalidFile());
    ASSERT_TRUE(platform::FileSetPointer(sizer, total, platform::FileBegin));
    ASSERT_TRUE(platform::FileSetEnd(sizer));
    ASSERT_TRUE(platform::FileClose(sizer));

    platform::HttpHandle session = platform::HttpOpen(L"t", 0, nullptr, nullptr, 0);
    std::atomic<std::uint64_t> counter{0};
    std::mutex seenMutex;
    std::vector<std::uint64_t> seen;
    const ProgressCallback progress = [&](std::uint64_t done, std::uint64_t reportedTotal) {
        EXPECT_EQ(reportedTotal, total);
        std::lock_guard<std::mutex> lock(seenMutex);
        seen.push_back(done);
    };
    std::vector<int> results(Threads, -1);
    std::vector<std::thread> workers;
    for (int i = 0; i < Threads; ++i) {
        workers.emplace_back([&, i] {
            platform::HttpHandle connection = platform::HttpConnect(session, L"h", 80, 0);
            const std::wstring target = L"/" + std::to_wstring(i);
            platform::HttpHandle request =
                platform::HttpOpenRequest(connection, L"GET", target.c_str(), nullptr, nullptr, nullptr, 0);
            platform::FileHandle file = platform::FileCreate(path.c_str(), platform::GenericWrite,
                                                             platform::FileShareRead | platform::FileShareWrite,
                                                             platform::OpenExisting, platform::FileAttributeNormal);
            bool ok = file != platform::InvalidFile() &&
                      platform::HttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) &&
                      platform::HttpReceiveResponse(request, nullptr) &&
                      StreamBodyToFile(request, file, offsets[i], sizes[i], &counter, progress, total, nullptr);
            if (file != platform::InvalidFile()) ok = platform::FileClose(file) && ok;
            platform::HttpCloseHandle(request);
            platform::HttpCloseHandle(connection);
            results[i] = ok ? 1 : 0;
        });
    }
    for (std::thread& worker : workers) worker.join();
    platform::HttpCloseHandle(session);

    EXPECT_TRUE(start.AllArrived());
    EXPECT_EQ(results, std::vector<int>(Threads, 1));
    EXPECT_EQ(counter.load(), total);
    // Every call carries the counter just after its own addition: no value twice, the last is the sum.
    EXPECT_EQ(std::set<std::uint64_t>(seen.begin(), seen.end()).size(), seen.size());
    EXPECT_EQ(*std::max_element(seen.begin(), seen.end()), total);
    std::ifstream in(dir / "out.bin", std::ios::binary);
    const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    EXPECT_EQ(written.size(), whole.size());
    EXPECT_TRUE(written == whole) << "file content differs";
    const testing::HttpLog log = testing::RecordedHttp();
    EXPECT_EQ(log.openHandles, 0);
    EXPECT_TRUE(log.misuses.empty());
    std::error_code error;
    fs::remove_all(dir, error);
}

}  // namespace
}  // namespace pelbrook
