// Shared pieces of the engine tests: a range-serving file "server" on top of
// the scripted HTTP stand-in, and a fixture that gives every test a fresh
// folder, a fresh script and a lowered cancel flag.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/download_job.h"
#include "support/scripted_http.h"
#include "support/test_files.h"

namespace pelbrook::testing {

struct ServedFile {
    std::string content;
    bool acceptRanges = true;
    std::uint32_t headStatus = 200;  // anything else sends the probe on to its ranged GET
    std::size_t pieceSize = 65536;   // bytes per scripted read
    std::vector<std::wstring> headers;  // more header lines on every answer, e.g. an ETag
    // Last word on each answer; runs on the sending thread, so it must be thread-safe.
    std::function<void(const RecordedRequest& request, ScriptedResponse& response)> adjust;
};

// Answers like a plain file server: HEAD with the length, a ranged GET with 206
// and its Content-Range, any other GET with the whole file.
Responder ServeFile(std::shared_ptr<const ServedFile> file);

// The "Range: bytes=a-b" of a request's header text; false when there is none.
bool RangeOf(const RecordedRequest& request, std::uint64_t& first, std::uint64_t& last);

// Cuts bytes into scripted reads of at most pieceSize bytes.
std::vector<std::string> Pieces(const std::string& bytes, std::size_t pieceSize);

// Closes that leave a request or connection open, or close a connection
// before a request on it, or the session before anything else.
std::vector<std::string> HandleOrderFaults(const HttpLog& log);

// The cancel request of every job the engine tests run; lowered before each test.
extern CancelFlag JobCancel;

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::wstring PathIn(const std::wstring& name) const;

    std::wstring dir;
};

}  // namespace pelbrook::testing
