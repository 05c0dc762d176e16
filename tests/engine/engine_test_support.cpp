#include "engine_test_support.h"

#include <algorithm>
#include <map>
#include <utility>

#include "engine/download_job.h"
#include "platform/text_scan.h"

namespace pelbrook::testing {

namespace {

bool ReadNumber(const std::wstring& text, std::size_t& pos, std::uint64_t& value) {
    const DigitRun digits = ReadDigits(text, pos);
    value = digits.value;
    return digits.count > 0;
}

}  // namespace

bool RangeOf(const RecordedRequest& request, std::uint64_t& first, std::uint64_t& last) {
    const std::wstring key = L"Range: bytes=";
    std::size_t pos = request.headers.find(key);
    if (pos == std::wstring::npos) {
        return false;
    }
    pos += key.size();
    if (!ReadNumber(request.headers, pos, first) || pos >= request.headers.size() || request.headers[pos] != L'-') {
        return false;
    }
    ++pos;
    return ReadNumber(request.headers, pos, last);
}

std::vector<std::string> Pieces(const std::string& bytes, std::size_t pieceSize) {
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at < bytes.size(); at += pieceSize) {
        pieces.push_back(bytes.substr(at, pieceSize));
    }
    return pieces;
}

Responder ServeFile(std::shared_ptr<const ServedFile> file) {
    return [file](const RecordedRequest& request) {
        const std::uint64_t size = file->content.size();
        std::vector<std::wstring> common = {L"Server: scripted"};
        common.insert(common.end(), file->headers.begin(), file->headers.end());
        if (file->acceptRanges) {
            common.push_back(L"Accept-Ranges: bytes");
        }
        ScriptedResponse response;
        std::uint64_t first = 0;
        std::uint64_t last = 0;
        if (request.verb == L"HEAD") {
            common.push_back(L"Content-Length: " + std::to_wstring(size));
            response = MakeResponse(file->headStatus, common);
        } else if (file->acceptRanges && RangeOf(request, first, last)) {
            if (first >= size) {
                common.push_back(L"Content-Range: bytes */" + std::to_wstring(size));
                response = MakeResponse(416, common);
            } else {
                last = std::min(last, size - 1);
                const std::uint64_t length = last - first + 1;
                common.push_back(L"Content-Length: " + std::to_wstring(length));
                common.push_back(L"Content-Range: bytes " + std::to_wstring(first) + L"-" + std::to_wstring(last) +
                                 L"/" + std::to_wstring(size));
                response = MakeResponse(
                    206, common,
                    Pieces(file->content.substr(static_cast<std::size_t>(first), static_cast<std::size_t>(length)),
                           file->pieceSize));
            }
        } else {
            common.push_back(L"Content-Length: " + std::to_wstring(size));
            response = MakeResponse(200, common, Pieces(file->content, file->pieceSize));
        }
        if (file->adjust) {
            file->adjust(request, response);
        }
        return response;
    };
}

std::vector<std::string> HandleOrderFaults(const HttpLog& log) {
    std::vector<std::string> faults;
    std::map<std::string, std::size_t> closedAt;
    for (std::size_t i = 0; i < log.closes.size(); ++i) {
        closedAt[log.closes[i]] = i;
    }
    for (const RecordedRequest& r : log.requests) {
        const std::string name = "request:" + std::to_string(r.id);
        const std::string owner = "connection:" + std::to_string(r.connection);
        if (closedAt.count(name) == 0) {
            faults.push_back(name + " never closed");
        } else if (closedAt.count(owner) != 0 && closedAt[owner] < closedAt[name]) {
            faults.push_back(owner + " closed before " + name);
        }
    }
    for (const RecordedConnection& c : log.connections) {
        if (closedAt.count("connection:" + std::to_string(c.id)) == 0) {
            faults.push_back("connection:" + std::to_string(c.id) + " never closed");
        }
    }
    const auto sessions = std::count(log.closes.begin(), log.closes.end(), std::string("session"));
    if (sessions > 1) {
        faults.push_back("session closed more than once");
    }
    if (sessions == 1 && log.closes.back() != "session") {
        faults.push_back("session not closed last");
    }
    if (log.openHandles != 0) {
        faults.push_back(std::to_string(log.openHandles) + " handles left open");
    }
    for (const std::string& misuse : log.misuses) {
        faults.push_back("misuse: " + misuse);
    }
    return faults;
}

CancelFlag JobCancel{false};

void EngineTest::SetUp() {
    JobCancel = false;
    SetFileFaults();
    ScriptHttp(nullptr);
    dir = NewTestDirectory();
    ASSERT_FALSE(dir.empty());
}

void EngineTest::TearDown() {
    JobCancel = false;
    SetFileFaults();
    ScriptHttp(nullptr);
    RemoveTestDirectory(dir);
}

std::wstring EngineTest::PathIn(const std::wstring& name) const {
#if defined(_WIN32)
    return dir + L"\\" + name;
#else
    return dir + L"/" + name;
#endif
}

}  // namespace pelbrook::testing
