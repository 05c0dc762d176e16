// The least a program on this platform's WinHTTP can do for one download, so
// the benchmark can tell the platform's cost (under Wine: its socket reads and
// wineserver round trips) from the engine's own: N threads, each with one
// connection and one ranged GET for an equal share of the file, reading 1 MiB
// at a time into its own handle on a file sized beforehand. No probe, no
// segments, no progress, no checks beyond what it needs to finish.
//
//   winhttp_floor PORT PATH OUTPUT SIZE CONNECTIONS
//
// Connects to 127.0.0.1 only. Prints "elapsedSeconds=S" (from the first
// connect to the last byte written, threads joined); exits 0 when every
// thread read exactly its share.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kChunk = 1024 * 1024;

bool FetchRange(HINTERNET session, INTERNET_PORT port, const std::wstring& path, const std::wstring& output,
                std::uint64_t first, std::uint64_t last) {
    bool ok = false;
    HANDLE file = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    HINTERNET connection = WinHttpConnect(session, L"127.0.0.1", port, 0);
    HINTERNET request = connection != nullptr ? WinHttpOpenRequest(connection, L"GET", path.c_str(), nullptr,
                                                                   WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                              : nullptr;
    const std::wstring range = L"Range: bytes=" + std::to_wstring(first) + L"-" + std::to_wstring(last);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(first);
    if (file != INVALID_HANDLE_VALUE && request != nullptr && SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
        WinHttpSendRequest(request, range.c_str(), static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
        WinHttpReceiveResponse(request, nullptr)) {
        std::vector<char> buffer(kChunk);
        std::uint64_t left = last - first + 1;
        for (;;) {
            DWORD got = 0;
            if (!WinHttpReadData(request, buffer.data(), kChunk, &got) || got == 0) {
                break;
            }
            DWORD written = 0;
            if (got > left || !WriteFile(file, buffer.data(), got, &written, nullptr) || written != got) {
                break;
            }
            left -= got;
        }
        ok = left == 0;
    }
    if (request != nullptr) {
        WinHttpCloseHandle(request);
    }
    if (connection != nullptr) {
        WinHttpCloseHandle(connection);
    }
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 6) {
        return 2;
    }
    const auto port = static_cast<INTERNET_PORT>(std::wcstoul(argv[1], nullptr, 10));
    const std::wstring path = argv[2];
    const std::wstring output = argv[3];
    const std::uint64_t size = std::wcstoull(argv[4], nullptr, 10);
    const int connections = static_cast<int>(std::wcstol(argv[5], nullptr, 10));
    if (port == 0 || size == 0 || connections < 1 || connections > 64) {
        return 2;
    }
    HANDLE file = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    const bool sized =
        file != INVALID_HANDLE_VALUE && SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    HINTERNET session =
        WinHttpOpen(L"winhttp_floor", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!sized || session == nullptr) {
        return 1;
    }
    DWORD perServer = 64;
    WinHttpSetOption(session, WINHTTP_OPTION_MAX_CONNS_PER_SERVER, &perServer, sizeof(perServer));

    const auto begin = std::chrono::steady_clock::now();
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    const std::uint64_t share = size / static_cast<std::uint64_t>(connections);
    for (int i = 0; i < connections; ++i) {
        const std::uint64_t first = share * static_cast<std::uint64_t>(i);
        const std::uint64_t last = i + 1 == connections ? size - 1 : first + share - 1;
        threads.emplace_back([&, first, last] {
            if (!FetchRange(session, port, path, output, first, last)) {
                failed.fetch_add(1);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
    WinHttpCloseHandle(session);
    std::printf("elapsedSeconds=%.6f\n", took.count());
    std::fflush(stdout);
    return failed.load() == 0 ? 0 : 1;
}
