#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "engine/content_range.h"
#include "engine/server_probe.h"

namespace pelbrook {
namespace {

const std::wstring AcceleratedLine8x32 = L"Mode: Accelerated - 8 workers, 32 segments, keep-alive reuse (HTTP Range).";
const std::wstring OneConnectionLine =
    L"Mode: Single connection - Connections is set to 1, so acceleration is disabled.";
const std::wstring NoRangeLine =
    L"Mode: Single connection - server does not support HTTP Range (Accept-Ranges: bytes).";
const std::wstring UnknownLine = L"Mode: Single connection - server file size unknown or acceleration unavailable.";

TEST(BuildModeLine, ChoosesTheFirstRowThatApplies) {
    struct Case {
        bool accelerated;
        std::int32_t workers;
        bool ranges;
        std::uint32_t segments;
        std::wstring line;
    };
    const std::vector<Case> cases = {
        {true, 8, true, 32, AcceleratedLine8x32},
        {true, 8, true, 1, L"Mode: Accelerated - 8 workers, 1 segments, keep-alive reuse (HTTP Range)."},
        {true, 32, true, 64, L"Mode: Accelerated - 32 workers, 64 segments, keep-alive reuse (HTTP Range)."},
        {true, -3, false, 0, L"Mode: Accelerated - -3 workers, 0 segments, keep-alive reuse (HTTP Range)."},
        {true, 1, false, 4, L"Mode: Accelerated - 1 workers, 4 segments, keep-alive reuse (HTTP Range)."},
        {false, 1, true, 0, OneConnectionLine},
        {false, 0, false, 0, OneConnectionLine},
        {false, 4, false, 0, NoRangeLine},
        {false, 32, false, 7, NoRangeLine},
        {false, 4, true, 0, UnknownLine},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BuildModeLine(c.accelerated, c.workers, c.ranges, c.segments), c.line)
            << c.accelerated << " " << c.workers << " " << c.ranges << " " << c.segments;
    }
}

ProbeResult Answered(std::uint64_t total, const std::vector<std::wstring>& headerLines) {
    ProbeResult probe;
    probe.answered = true;
    probe.totalSize = total;
    probe.rawHeaders = L"HTTP/1.1 200 OK\r\n";
    for (const std::wstring& line : headerLines) {
        probe.rawHeaders += line + L"\r\n";
    }
    probe.rawHeaders += L"\r\n";
    return probe;
}

ProbeResult AnsweredByARange(std::uint64_t total) {
    ProbeResult probe = Answered(total, {L"Content-Range: bytes 0-0/" + std::to_wstring(total)});
    probe.rangeServed = true;
    return probe;
}

TEST(DecideMode, Table) {
    struct Case {
        const char* name;
        ProbeResult probe;
        std::int32_t connections;
        bool accelerated;
        std::int32_t workers;
        bool ranges;
        std::size_t segments;
        std::wstring line;
    };
    const std::vector<Case> cases = {
        {"ranges, 8 connections", Answered(104857600, {L"Accept-Ranges: bytes"}), 8, true, 8, true, 32,
         AcceleratedLine8x32},
        {"one segment", Answered(1048576, {L"Accept-Ranges: bytes"}), 8, true, 8, true, 1,
         L"Mode: Accelerated - 8 workers, 1 segments, keep-alive reuse (HTTP Range)."},
        {"capitals", Answered(104857600, {L"Accept-Ranges: BYTES"}), 8, true, 8, true, 32, AcceleratedLine8x32},
        {"lower-case name", Answered(104857600, {L"accept-ranges: bytes"}), 8, true, 8, true, 32, AcceleratedLine8x32},
        {"padded value", Answered(104857600, {L"Accept-Ranges: \t bytes \t"}), 8, true, 8, true, 32,
         AcceleratedLine8x32},
        {"none", Answered(104857600, {L"Accept-Ranges: none"}), 8, false, 8, false, 0, NoRangeLine},
        {"bytes and more", Answered(104857600, {L"Accept-Ranges: bytes, pages"}), 8, false, 8, false, 0, NoRangeLine},
        {"missing header", Answered(104857600, {L"Content-Length: 104857600"}), 8, false, 8, false, 0, NoRangeLine},
        {"longer name only", Answered(104857600, {L"X-Accept-Ranges: bytes"}), 8, false, 8, false, 0, NoRangeLine},
        {"one connection", Answered(104857600, {L"Accept-Ranges: bytes"}), 1, false, 1, true, 0, OneConnectionLine},
        {"forty connections", Answered(1073741824, {L"Accept-Ranges: bytes"}), 40, true, 32, true, 64,
         L"Mode: Accelerated - 32 workers, 64 segments, keep-alive reuse (HTTP Range)."},
        {"size unknown", Answered(0, {L"Accept-Ranges: bytes"}), 8, false, 8, true, 0, UnknownLine},
        {"a 206 to the probe without Accept-Ranges", AnsweredByARange(5000000), 8, true, 8, true, 3,
         L"Mode: Accelerated - 8 workers, 3 segments, keep-alive reuse (HTTP Range)."},
        {"sixteen workers, two segments", Answered(3145728, {L"Accept-Ranges: bytes"}), 16, true, 16, true, 2,
         L"Mode: Accelerated - 16 workers, 2 segments, keep-alive reuse (HTTP Range)."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ModeDecision mode = DecideMode(c.probe, c.connections);
        EXPECT_EQ(mode.accelerated, c.accelerated);
        EXPECT_EQ(mode.workerCount, c.workers);
        EXPECT_EQ(mode.rangesAccepted, c.ranges);
        EXPECT_EQ(mode.plan.size(), c.segments);
        EXPECT_EQ(BuildModeLine(mode.accelerated, mode.workerCount, mode.rangesAccepted,
                                static_cast<std::uint32_t>(mode.plan.size())),
                  c.line);
    }
}

TEST(ContentRange, TotalAsTheProbeReadsIt) {
    const std::vector<std::pair<std::wstring, std::uint64_t>> cases = {
        {L"bytes 0-0/5000000", 5000000},
        {L"bytes 0-0/*", 0},
        {L"bytes 0-0/", 0},
        {L"bytes 0-0", 0},
        {L"", 0},
        {L"bytes 0-0/12abc", 12},
        {L"bytes 0-0/18446744073709551615", std::numeric_limits<std::uint64_t>::max()},
        {L"bytes 0-0/18446744073709551616", 0},
        {L"bytes 0-0/ 5", 0},
        {L"bytes */77", 77},
    };
    for (const auto& [value, total] : cases) {
        EXPECT_EQ(ContentRangeTotal(value), total) << value;
    }
}

TEST(ContentRange, StrictParsing) {
    struct Case {
        std::wstring value;
        bool ok;
        std::uint64_t first, last;
        bool totalKnown;
        std::uint64_t total;
    };
    const std::vector<Case> cases = {
        {L"bytes 100-199/1000", true, 100, 199, true, 1000},
        {L"BYTES 0-0/1", true, 0, 0, true, 1},
        {L"bytes  5-9/*", true, 5, 9, false, 0},
        {L"bytes 0-18446744073709551614/18446744073709551615", true, 0, 18446744073709551614u, true,
         18446744073709551615u},
        {L"bytes */1000", false, 0, 0, false, 0},
        {L"bytes 9-5/1000", false, 0, 0, false, 0},
        {L"bytes 0-999/1000x", false, 0, 0, false, 0},
        {L"bytes 0-1000/1000", false, 0, 0, false, 0},
        {L"bytes 0-99", false, 0, 0, false, 0},
        {L"bytes=0-99/100", false, 0, 0, false, 0},
        {L"items 0-99/100", false, 0, 0, false, 0},
        {L"bytes -5-9/100", false, 0, 0, false, 0},
        {L"bytes 0-18446744073709551616/*", false, 0, 0, false, 0},
        {L"bytes", false, 0, 0, false, 0},
        {L"", false, 0, 0, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        ContentRange range;
        range.first = 4242;
        ASSERT_EQ(ParseContentRange(c.value, range), c.ok);
        if (c.ok) {
            EXPECT_EQ(range.first, c.first);
            EXPECT_EQ(range.last, c.last);
            EXPECT_EQ(range.totalKnown, c.totalKnown);
            EXPECT_EQ(range.total, c.total);
        } else {
            EXPECT_EQ(range.first, 4242u) << "a failed parse leaves the record alone";
        }
    }
}

}  // namespace
}  // namespace pelbrook
