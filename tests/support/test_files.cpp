#include "support/test_files.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "platform/files.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

// The build's real file calls, from real_files.cpp.
namespace pelbrook::platform::real {
PELBROOK_FILE_CALLS(PELBROOK_DECLARE_FILE_CALL)
}  // namespace pelbrook::platform::real

namespace pelbrook::testing {
namespace {

constexpr std::uint64_t UnknownPosition = std::numeric_limits<std::uint64_t>::max();

struct FileState {
    std::mutex mutex;
    FileFaultPlan plan;
    FileLog log;
    std::unordered_map<std::uint32_t, int> ordinals;               // per disposition
    std::unordered_map<platform::FileHandle, std::uint64_t> open;  // live handle -> position
};

FileState& TheFiles() {
    static FileState* state = new FileState;
    return *state;
}

// Caller holds the lock.
std::uint64_t* Position(FileState& s, platform::FileHandle file, const char* call) {
    auto it = s.open.find(file);
    if (it == s.open.end()) {
        s.log.misuses.push_back(std::string(call) + " on a handle that is not open");
        return nullptr;
    }
    return &it->second;
}

// Wide text as a path, in the same encoding the file calls use (UTF-8 on POSIX),
// whatever the process locale.
std::filesystem::path ToPath(const std::wstring& text) {
    if constexpr (sizeof(wchar_t) == sizeof(char32_t)) {
        return std::filesystem::path(std::u32string(text.begin(), text.end()));
    } else {
        return std::filesystem::path(text);
    }
}

std::wstring FromPath(const std::filesystem::path& path) {
    if constexpr (sizeof(wchar_t) == sizeof(char32_t)) {
        const std::u32string text = path.u32string();
        return std::wstring(text.begin(), text.end());
    } else {
        return path.wstring();
    }
}

}  // namespace

void SetFileFaults(FileFaultPlan plan) {
    FileState& s = TheFiles();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.plan = std::move(plan);
    s.ordinals.clear();
    const int stillOpen = static_cast<int>(s.open.size());
    s.log = FileLog{};
    s.log.openHandles = stillOpen;
}

FileLog RecordedFiles() {
    FileState& s = TheFiles();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.log;
}

std::function<bool(const FileOpenCall&)> FailOpenNumber(std::uint32_t disposition, int ordinal) {
    return [disposition, ordinal](const FileOpenCall& call) {
        return call.disposition == disposition && call.ordinal == ordinal;
    };
}

std::function<bool(int)> FailFirst(int tries) {
    return [tries](int attempt) { return attempt < tries; };
}

std::wstring NewTestDirectory() {
    static std::atomic<int> counter{0};
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path base = fs::temp_directory_path(error);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::wstring name =
            L"pelbrook-test-" + std::to_wstring(std::random_device{}()) + L"-" + std::to_wstring(counter.fetch_add(1));
        const fs::path dir = base / ToPath(name);
        if (fs::create_directory(dir, error)) return FromPath(dir);
    }
    return std::wstring();
}

std::string ReadFileBytes(const std::wstring& path) {
    std::ifstream in(ToPath(path), std::ios::binary);
    if (!in) return std::string();
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(ToPath(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool PathExists(const std::wstring& path) {
    std::error_code error;
    return std::filesystem::exists(ToPath(path), error);
}

std::vector<std::wstring> DirectoryNames(const std::wstring& path) {
    std::vector<std::wstring> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(ToPath(path), error)) {
        names.push_back(FromPath(entry.path().filename()));
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::wstring MakeAlias(const std::wstring& path) {
#if defined(_WIN32)
    std::wstring alias(MAX_PATH, L'\0');
    const DWORD length = GetShortPathNameW(path.c_str(), alias.data(), MAX_PATH);
    alias.resize(length < MAX_PATH ? length : 0);
    return alias != path ? alias : std::wstring();
#else
    const std::filesystem::path target = ToPath(path);
    const std::filesystem::path alias = target.parent_path() / "ALIAS~1.BIN";
    std::error_code error;
    std::filesystem::create_symlink(target.filename(), alias, error);  // fails when it is there already
    return std::filesystem::is_symlink(alias, error) ? FromPath(alias) : std::wstring();
#endif
}

void RemoveTestDirectory(const std::wstring& path) {
    if (path.empty()) return;
    std::error_code error;
    std::filesystem::remove_all(ToPath(path), error);
}

}  // namespace pelbrook::testing

namespace pelbrook::platform {

using testing::FileState;
using testing::TheFiles;

FileHandle FileCreate(const wchar_t* path, std::uint32_t access, std::uint32_t shareMode, std::uint32_t disposition,
                      std::uint32_t attributes) {
    FileState& s = TheFiles();
    testing::FileOpenCall call;
    call.path = path != nullptr ? path : L"";
    call.access = access;
    call.shareMode = shareMode;
    call.disposition = disposition;
    call.attributes = attributes;
    call.thread = std::this_thread::get_id();
    std::function<bool(const testing::FileOpenCall&)> failOpen;
    std::size_t index = 0;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        call.ordinal = s.ordinals[disposition]++;
        failOpen = s.plan.failOpen;
        index = s.log.opens.size();
        s.log.opens.push_back(call);
    }
    const bool fail = failOpen && failOpen(call);
    FileHandle file = fail ? InvalidFile() : real::FileCreate(path, access, shareMode, disposition, attributes);
    std::lock_guard<std::mutex> lock(s.mutex);
    if (file != InvalidFile()) {
        s.open[file] = 0;
        ++s.log.openHandles;
        if (index < s.log.opens.size()) s.log.opens[index].succeeded = true;
    }
    return file;
}

bool FileSetPointer(FileHandle file, std::uint64_t distance, std::uint32_t moveMethod) {
    FileState& s = TheFiles();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::uint64_t* position = testing::Position(s, file, "FileSetPointer");
    if (position == nullptr || s.plan.failSetPointer) return false;
    if (!real::FileSetPointer(file, distance, moveMethod)) return false;
    *position = moveMethod == FileBegin ? distance : testing::UnknownPosition;
    return true;
}

bool FileSetEnd(FileHandle file) {
    FileState& s = TheFiles();
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.log.setEnds;
    if (testing::Position(s, file, "FileSetEnd") == nullptr || s.plan.failSetEnd) return false;
    return real::FileSetEnd(file);
}

bool FileWrite(FileHandle file, const void* buffer, std::uint32_t bytesToWrite, std::uint32_t* bytesWritten) {
    FileState& s = TheFiles();
    std::uint64_t limit = 0;
    bool shortWrite = false;
    std::uint64_t start = 0;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        ++s.log.writes;
        std::uint64_t* position = testing::Position(s, file, "FileWrite");
        if (position == nullptr) {
            if (bytesWritten != nullptr) *bytesWritten = 0;
            return false;
        }
        start = *position;
        limit = s.plan.failWritesFrom;
        shortWrite = s.plan.shortWriteAtLimit;
    }
    // The write itself runs outside the lock so that writers on several threads overlap.
    std::uint32_t toWrite = bytesToWrite;
    bool faulted = false;
    if (start != testing::UnknownPosition && bytesToWrite > 0 && start + bytesToWrite > limit) {
        faulted = true;
        toWrite = shortWrite && start < limit ? static_cast<std::uint32_t>(limit - start) : 0;
    }
    std::uint32_t put = 0;
    bool ok = true;
    if (toWrite > 0 || !faulted) ok = real::FileWrite(file, buffer, toWrite, &put);
    if (faulted && !shortWrite) ok = false;
    if (bytesWritten != nullptr) *bytesWritten = put;

    std::lock_guard<std::mutex> lock(s.mutex);
    s.log.bytesWritten += put;
    auto it = s.open.find(file);
    if (it != s.open.end() && it->second != testing::UnknownPosition) it->second += put;
    return ok;
}

bool FileClose(FileHandle file) {
    FileState& s = TheFiles();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (testing::Position(s, file, "FileClose") == nullptr) return false;
    s.open.erase(file);
    ++s.log.closes;
    --s.log.openHandles;
    return real::FileClose(file);
}

bool FileGetSize(const wchar_t* path, std::uint64_t* size) {
    FileState& s = TheFiles();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.plan.failGetSize) return false;
    }
    return real::FileGetSize(path, size);
}

bool FileDelete(const wchar_t* path) {
    FileState& s = TheFiles();
    std::function<bool(int)> fail;
    int attempt = 0;
    bool keep = false;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        attempt = static_cast<int>(s.log.deletes.size());
        s.log.deletes.push_back(path != nullptr ? path : L"");
        fail = s.plan.failDelete;
        keep = s.plan.keepDeleted;
    }
    if (fail && fail(attempt)) return false;
    return keep || real::FileDelete(path);
}

bool FileMove(const wchar_t* from, const wchar_t* to, std::uint32_t flags) {
    FileState& s = TheFiles();
    std::function<bool(int)> fail;
    int attempt = 0;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        attempt = static_cast<int>(s.log.moves.size());
        s.log.moves.emplace_back(from != nullptr ? from : L"", to != nullptr ? to : L"");
        fail = s.plan.failMove;
    }
    if (fail && fail(attempt)) return false;
    return real::FileMove(from, to, flags);
}

bool FileFindName(const wchar_t* path, wchar_t* name) { return real::FileFindName(path, name); }

}  // namespace pelbrook::platform
