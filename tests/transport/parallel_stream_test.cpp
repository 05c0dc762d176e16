// Several threads stream disjoint ranges into one file at once, each with its
// own request and file handle, through the build's real file calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/scripted_http.h"
#include "support/test_bytes.h"
#include "transport/body_stream.h"

namespace pelbrook {
namespace {

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
