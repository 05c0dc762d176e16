// The real WinHTTP calls behind the seam, against a small HTTP server on
// 127.0.0.1 that the test starts and stops itself.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/test_bytes.h"
#include "transport/body_stream.h"
#include "transport/http_request.h"

namespace pelbrook {
namespace {

namespace fs = std::filesystem;

// What the server received and should answer; `cut` ends the connection
// after that many body bytes.
struct Reply {
    std::string head;  // status line and headers, without the blank line
    std::string body;
    std::size_t cut = std::string::npos;
};

// Serves one connection at a time, several requests per connection, with
// bounded waits everywhere.
class LoopbackServer {
public:
    explicit LoopbackServer(std::function<Reply(const std::string& request)> answer) : answer_(std::move(answer)) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        listen(listener_, 4);
        int length = sizeof(address);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }

    ~LoopbackServer() {
        stop_ = true;
        thread_.join();
        closesocket(listener_);
        WSACleanup();
    }

    std::uint16_t Port() const { return port_; }
    int Connections() const { return connections_.load(); }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    static bool Readable(SOCKET s, int milliseconds) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval wait{milliseconds / 1000, (milliseconds % 1000) * 1000};
        return select(0, &set, nullptr, nullptr, &wait) > 0;
    }

    static void SendAll(SOCKET s, const char* data, std::size_t size) {
        while (size > 0) {
            const int n = send(s, data, static_cast<int>(std::min<std::size_t>(size, 65536)), 0);
            if (n <= 0) return;
            data += n;
            size -= static_cast<std::size_t>(n);
        }
    }

    void Serve() {
        while (!stop_) {
            if (!Readable(listener_, 50)) continue;
            SOCKET client = accept(listener_, nullptr, nullptr);
            if (client == INVALID_SOCKET) continue;
            ++connections_;
            ServeConnection(client);
            closesocket(client);
        }
    }

    void ServeConnection(SOCKET client) {
        std::string pending;
        char buffer[4096];
        for (int idle = 0; !stop_ && idle < 200;) {
            const std::size_t end = pending.find("\r\n\r\n");
            if (end != std::string::npos) {
                const std::string request = pending.substr(0, end + 4);
                pending.erase(0, end + 4);
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    requests_.push_back(request);
                }
                const Reply reply = answer_(request);
                const std::string head = reply.head + "\r\n\r\n";
                SendAll(client, head.data(), head.size());
                const bool headOnly = request.rfind("HEAD ", 0) == 0;
                if (!headOnly) SendAll(client, reply.body.data(), std::min(reply.cut, reply.body.size()));
                if (reply.cut != std::string::npos) return;
                continue;
            }
            if (!Readable(client, 50)) {
                ++idle;
                continue;
            }
            const int n = recv(client, buffer, sizeof(buffer), 0);
            if (n <= 0) return;
            pending.append(buffer, static_cast<std::size_t>(n));
            idle = 0;
        }
    }

    std::function<Reply(const std::string&)> answer_;
    SOCKET listener_ = INVALID_SOCKET;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::mutex mutex_;
    std::vector<std::string> requests_;
};

class WinHttpLoopbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        session_ = platform::HttpOpen(L"Pelbrook test", platform::AccessTypeDefaultProxy, nullptr, nullptr, 0);
        ASSERT_NE(session_, nullptr);
        const std::uint32_t timeout = 10000;
        for (std::uint32_t option :
             {platform::OptionConnectTimeout, platform::OptionSendTimeout, platform::OptionReceiveTimeout}) {
            platform::HttpSetOption(session_, option, &timeout, sizeof(timeout));
        }
        dir_ = fs::temp_directory_path() / ("pelbrook-loopback-" + std::to_string(std::random_device{}()));
        fs::create_directory(dir_);
    }
    void TearDown() override {
        platform::HttpCloseHandle(session_);
        std::error_code error;
        fs::remove_all(dir_, error);
    }

    UrlParts Url(const LoopbackServer& server, const std::wstring& path) {
        UrlParts url;
        EXPECT_TRUE(CrackUrl(L"http://127.0.0.1:" + std::to_wstring(server.Port()) + path, url));
        return url;
    }

    // GET into a fresh file; the stream's verdict, the bytes on disk and the response.
    struct Fetched {
        bool sent = false, streamed = false;
        ResponseInfo info;
        std::string file;
    };

    Fetched Fetch(platform::HttpHandle connection, const UrlParts& url, std::uint64_t expected) {
        Fetched f;
        platform::HttpHandle request = OpenRequest(connection, L"GET", url);
        EXPECT_NE(request, nullptr);
        f.sent = SendAndReceive(request, f.info, BaseRequestHeaders);
        const fs::path path = dir_ / "out.bin";
        const std::wstring name = path.wstring();
        platform::FileHandle file = platform::FileCreate(name.c_str(), platform::GenericWrite, platform::FileShareRead,
                                                         platform::CreateAlways, platform::FileAttributeNormal);
        EXPECT_NE(file, platform::InvalidFile());
        if (f.sent) f.streamed = StreamBodyToFile(request, file, 0, expected, nullptr, nullptr, 0, nullptr);
        platform::FileClose(file);
        platform::HttpCloseHandle(request);
        std::ifstream in(path, std::ios::binary);
        f.file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return f;
    }

    platform::HttpHandle session_ = nullptr;
    fs::path dir_;
};

TEST_F(WinHttpLoopbackTest, RangedProbeSendsTheHeaderTextAndReadsTheAnswer) {
    LoopbackServer server([](const std::string&) {
        return Reply{
            "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-0/5000000\r\nContent-Length: 1\r\n"
            "x-lower-case: yes",
            "a"};
    });
    const UrlParts url = Url(server, L"/dir/file.bin?x=1");
    platform::HttpHandle connection = OpenConnection(session_, url);
    ASSERT_NE(connection, nullptr);
    platform::HttpHandle request = OpenRequest(connection, L"GET", url);
    ASSERT_NE(request, nullptr);
    const std::wstring headers = std::wstring(BaseRequestHeaders) + L"Range: bytes=0-0";
    ResponseInfo info;
    ASSERT_TRUE(SendAndReceive(request, info, headers.c_str()));
    EXPECT_EQ(info.statusCode, 206u);
    EXPECT_EQ(info.contentLength, 1u);
    EXPECT_EQ(GetHeaderValue(info.rawHeaders, L"Content-Range"), L"bytes 0-0/5000000");
    EXPECT_EQ(GetHeaderValue(info.rawHeaders, L"X-Lower-Case"), L"yes");
    EXPECT_EQ(info.rawHeaders.rfind(L"HTTP/1.1 206", 0), 0u);
    platform::HttpCloseHandle(request);
    platform::HttpCloseHandle(connection);

    const std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].rfind("GET /dir/file.bin?x=1 HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(requests[0].find("\r\nAccept: */*\r\n"), std::string::npos);
    EXPECT_NE(requests[0].find("\r\nRange: bytes=0-0\r\n"), std::string::npos);
}

TEST_F(WinHttpLoopbackTest, HeadWithoutExtraHeaders) {
    LoopbackServer server([](const std::string&) {
        return Reply{"HTTP/1.1 200 OK\r\nContent-Length: 123456789012\r\nAccept-Ranges: bytes", ""};
    });
    const UrlParts url = Url(server, L"/f");
    platform::HttpHandle connection = OpenConnection(session_, url);
    platform::HttpHandle request = OpenRequest(connection, L"HEAD", url);
    ASSERT_NE(request, nullptr);
    ResponseInfo info;
    ASSERT_TRUE(SendAndReceive(request, info, nullptr));
    EXPECT_EQ(info.statusCode, 200u);
    EXPECT_EQ(info.contentLength, 123456789012u);
    EXPECT_EQ(GetHeaderValue(info.rawHeaders, L"Accept-Ranges"), L"bytes");
    platform::HttpCloseHandle(request);
    platform::HttpCloseHandle(connection);
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].find("Range:"), std::string::npos);
}

TEST_F(WinHttpLoopbackTest, BodiesStreamWholeOverOneKeptAliveConnection) {
    const std::string body = testing::TestBytes(3 * ReadChunkSize + 17, 5);
    LoopbackServer server([&body](const std::string&) {
        return Reply{"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()), body};
    });
    const UrlParts url = Url(server, L"/big");
    platform::HttpHandle connection = OpenConnection(session_, url);
    ASSERT_NE(connection, nullptr);
    for (int round = 0; round < 2; ++round) {
        Fetched f = Fetch(connection, url, body.size());
        EXPECT_TRUE(f.sent);
        EXPECT_TRUE(f.streamed);
        EXPECT_EQ(f.info.contentLength, body.size());
        EXPECT_TRUE(f.file == body);
    }
    platform::HttpCloseHandle(connection);
    EXPECT_EQ(server.Requests().size(), 2u);
    EXPECT_EQ(server.Connections(), 1);
}

TEST_F(WinHttpLoopbackTest, BodyCutShortIsNotWhole) {
    const std::string body = testing::TestBytes(200000, 6);
    LoopbackServer server([&body](const std::string&) {
        return Reply{"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()), body, 70000};
    });
    const UrlParts url = Url(server, L"/cut");
    platform::HttpHandle connection = OpenConnection(session_, url);
    Fetched f = Fetch(connection, url, body.size());
    platform::HttpCloseHandle(connection);
    EXPECT_TRUE(f.sent);
    EXPECT_FALSE(f.streamed);
    EXPECT_EQ(f.file, body.substr(0, f.file.size()));
    EXPECT_LT(f.file.size(), body.size());
}

TEST_F(WinHttpLoopbackTest, RefusedConnectionFailsTheSend) {
    std::uint16_t port = 0;
    {
        LoopbackServer server([](const std::string&) { return Reply{"HTTP/1.1 200 OK", ""}; });
        port = server.Port();
    }
    UrlParts url;
    ASSERT_TRUE(CrackUrl(L"http://127.0.0.1:" + std::to_wstring(port) + L"/x", url));
    platform::HttpHandle connection = OpenConnection(session_, url);
    platform::HttpHandle request = OpenRequest(connection, L"GET", url);
    ResponseInfo info;
    EXPECT_FALSE(SendAndReceive(request, info, BaseRequestHeaders));
    EXPECT_EQ(info.statusCode, 0u);
    platform::HttpCloseHandle(request);
    platform::HttpCloseHandle(connection);
}

}  // namespace
}  // namespace pelbrook
