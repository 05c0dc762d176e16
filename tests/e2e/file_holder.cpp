// Plays another program that holds a file Pelbrook writes, the way a virus
// scanner, an indexer or a sync client does: its handle shares reading and
// writing but not deletion, so while it is open the file can be neither
// renamed nor deleted. Wine applies that between the processes of a prefix.
//
//   file_holder scan FOLDER   hold every new *.part file of FOLDER until 1 s
//                             after its size or last-write time last changed
//   file_holder hold PATH     hold PATH until standard input ends
//   file_holder short PATH    print "short NAME", the name GetShortPathNameW
//                             gives for PATH, and end
//
// It prints "held NAME" and "released NAME" as it goes, and ends when its
// standard input ends.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <set>
#include <string>

#include "utf8_text.h"

namespace {

constexpr ULONGLONG QuietMs = 1000;
constexpr DWORD PollMs = 20;

volatile LONG g_inputEnded = 0;

DWORD WINAPI WaitForInputEnd(void*) {
    char buffer[256];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) && read > 0) {
    }
    InterlockedExchange(&g_inputEnded, 1);
    return 0;
}

void Say(const char* what, const std::wstring& name) {
    std::printf("%s %s\n", what, ToUtf8(name).c_str());
    std::fflush(stdout);
}

HANDLE Hold(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

struct Held {
    HANDLE file = INVALID_HANDLE_VALUE;
    ULONGLONG written = 0;  // size and last-write time as last seen
    ULONGLONG changedAt = 0;
};

ULONGLONG Stamp(HANDLE file) {
    LARGE_INTEGER size{};
    FILETIME lastWrite{};
    GetFileSizeEx(file, &size);
    GetFileTime(file, nullptr, nullptr, &lastWrite);
    return static_cast<ULONGLONG>(size.QuadPart) * 31 +
           ((static_cast<ULONGLONG>(lastWrite.dwHighDateTime) << 32) | lastWrite.dwLowDateTime);
}

void Scan(const std::wstring& folder) {
    std::set<std::wstring> seen;
    std::map<std::wstring, Held> held;
    while (!g_inputEnded) {
        WIN32_FIND_DATAW found;
        const HANDLE search = FindFirstFileW((folder + L"\\*.part").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = found.cFileName;
                if (!seen.insert(name).second) continue;
                Held entry;
                entry.file = Hold(folder + L"\\" + name);
                if (entry.file == INVALID_HANDLE_VALUE) continue;
                entry.written = Stamp(entry.file);
                entry.changedAt = GetTickCount64();
                held[name] = entry;
                Say("held", name);
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        const ULONGLONG now = GetTickCount64();
        for (auto it = held.begin(); it != held.end();) {
            const ULONGLONG stamp = Stamp(it->second.file);
            if (stamp != it->second.written) {
                it->second.written = stamp;
                it->second.changedAt = now;
            }
            if (now - it->second.changedAt < QuietMs) {
                ++it;
                continue;
            }
            CloseHandle(it->second.file);
            Say("released", it->first);
            it = held.erase(it);
        }
        Sleep(PollMs);
    }
    for (auto& entry : held) CloseHandle(entry.second.file);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: file_holder scan FOLDER | hold PATH | short PATH\n");
        return 2;
    }
    const std::wstring mode = argv[1];
    if (mode == L"short") {
        wchar_t shortPath[MAX_PATH] = {};
        const DWORD length = GetShortPathNameW(argv[2], shortPath, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) return 1;
        const wchar_t* slash = std::wcsrchr(shortPath, L'\\');
        Say("short", slash != nullptr ? slash + 1 : shortPath);
        return 0;
    }
    CloseHandle(CreateThread(nullptr, 0, WaitForInputEnd, nullptr, 0, nullptr));
    if (mode == L"scan") {
        Say("scanning", argv[2]);
        Scan(argv[2]);
        return 0;
    }
    const HANDLE file = Hold(argv[2]);
    if (file == INVALID_HANDLE_VALUE) {
        Say("failed", argv[2]);
        return 1;
    }
    Say("held", argv[2]);
    while (!g_inputEnded) Sleep(PollMs);
    CloseHandle(file);
    Say("released", argv[2]);
    return 0;
}
