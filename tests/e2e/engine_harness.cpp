// Runs one download job through the real engine, WinHTTP and Win32 files, and
// reports what the job returned and what its callbacks saw, one "key=value"
// line each, so that a script can judge it. With --quiet it prints nothing and
// only the exit code tells: 0 for a completed download, 1 otherwise, 2 for a
// command line it cannot use.
//
//   pelbrook_engine_harness [--quiet] [--elapsed] [--cancel-at BYTES] URL OUTPUT_PATH CONNECTIONS
//
// --cancel-at raises the cancel flag from the progress callback once that many
// bytes are reported done, the way a press of Cancel would during a transfer.
// --elapsed prints the job's own time, without the start of the process, as
// "elapsedSeconds=S", also with --quiet (the benchmark reads it).

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "engine/download_job.h"
#include "utf8_text.h"

namespace {

struct CallbackLog {
    std::atomic<std::uint64_t> progressCalls{0};
    std::atomic<std::uint64_t> maxDone{0};
    std::atomic<std::uint64_t> lastTotal{0};
    std::atomic<std::uint64_t> statusCalls{0};
    std::wstring statusLine;  // written on the job's own thread only
};

bool ParseUnsigned(const wchar_t* text, std::uint64_t& value) {
    if (text == nullptr || *text == L'\0') {
        return false;
    }
    wchar_t* end = nullptr;
    errno = 0;
    value = std::wcstoull(text, &end, 10);
    return errno == 0 && end != nullptr && *end == L'\0' && *text != L'-';
}

bool ParseSigned(const wchar_t* text, std::int32_t& value) {
    if (text == nullptr || *text == L'\0') {
        return false;
    }
    wchar_t* end = nullptr;
    errno = 0;
    const long long parsed = std::wcstoll(text, &end, 10);
    if (errno != 0 || end == nullptr || *end != L'\0' || parsed < INT32_MIN || parsed > INT32_MAX) {
        return false;
    }
    value = static_cast<std::int32_t>(parsed);
    return true;
}

void RaiseMax(std::atomic<std::uint64_t>& target, std::uint64_t value) {
    std::uint64_t seen = target.load();
    while (value > seen && !target.compare_exchange_weak(seen, value)) {
    }
}

void PrintLine(const char* key, const std::string& value) { std::printf("%s=%s\n", key, value.c_str()); }

void PrintLine(const char* key, std::uint64_t value) {
    std::printf("%s=%llu\n", key, static_cast<unsigned long long>(value));
}

int Usage() {
    std::fprintf(stderr,
                 "usage: pelbrook_engine_harness [--quiet] [--elapsed] [--cancel-at BYTES] URL OUTPUT_PATH "
                 "CONNECTIONS\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    bool quiet = false;
    bool elapsedWanted = false;
    bool cancelWanted = false;
    std::uint64_t cancelAt = 0;
    int index = 1;
    for (; index < argc; ++index) {
        const std::wstring option = argv[index];
        if (option == L"--quiet") {
            quiet = true;
        } else if (option == L"--elapsed") {
            elapsedWanted = true;
        } else if (option == L"--cancel-at" && index + 1 < argc) {
            if (!ParseUnsigned(argv[++index], cancelAt)) {
                return Usage();
            }
            cancelWanted = true;
        } else {
            break;
        }
    }
    if (argc - index != 3) {
        return Usage();
    }

    pelbrook::DownloadRequest request;
    request.url = argv[index];
    request.outputPath = argv[index + 1];
    if (!ParseSigned(argv[index + 2], request.connections)) {
        return Usage();
    }

    CallbackLog log;
    static pelbrook::CancelFlag cancel{false};
    request.cancel = &cancel;
    pelbrook::ProgressCallback progress = [&log, cancelWanted, cancelAt](std::uint64_t done, std::uint64_t total) {
        log.progressCalls.fetch_add(1);
        RaiseMax(log.maxDone, done);
        log.lastTotal.store(total);
        if (cancelWanted && done >= cancelAt) {
            cancel.store(true);
        }
    };
    pelbrook::StatusCallback status = [&log](const std::wstring& line) {
        log.statusCalls.fetch_add(1);
        log.statusLine = line;
    };

    const auto started = std::chrono::steady_clock::now();
    const pelbrook::DownloadResult result = pelbrook::RunDownload(request, progress, status);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;

    if (!quiet) {
        _setmode(_fileno(stdout), _O_BINARY);
        PrintLine("success", result.success ? 1u : 0u);
        PrintLine("message", ToUtf8(result.message));
        PrintLine("bytesDownloaded", result.bytesDownloaded);
        PrintLine("modeLine", ToUtf8(result.modeLine));
        PrintLine("statusCalls", log.statusCalls.load());
        PrintLine("statusLine", ToUtf8(log.statusLine));
        PrintLine("progressCalls", log.progressCalls.load());
        PrintLine("progressMaxDone", log.maxDone.load());
        PrintLine("progressLastTotal", log.lastTotal.load());
        PrintLine("cancelRaised", cancel.load() ? 1u : 0u);
    }
    if (elapsedWanted) {
        std::printf("elapsedSeconds=%.6f\n", elapsed.count());
    }
    std::fflush(stdout);
    return result.success ? 0 : 1;
}
