// platform/files.h for tests: the real file calls of the
// build (POSIX natively, Win32 under Wine) with a recorder and a fault plan in
// front of them. Link `pelbrook_test_files` instead of `pelbrook_platform_files`.
//
// Faults are deterministic and stay until the next SetFileFaults:
//   plan.failOpen = FailOpenNumber(platform::OpenExisting, 2);  // the third OPEN_EXISTING open fails
//   plan.failWritesFrom = 4096;       // any write reaching byte 4096 or beyond fails, writing nothing
//   plan.shortWriteAtLimit = true;    // ...or writes the bytes before 4096 and reports the short count
//   plan.failSetEnd = true;           // SetEndOfFile fails (pre-sizing)
//   plan.failMove = FailFirst(2);      // the first two MoveFileExW fail, moving nothing
//   plan.failDelete = FailFirst(9);    // ...and DeleteFileW, deleting nothing
//   plan.keepDeleted = true;           // DeleteFileW succeeds and leaves the file, to be looked at
// Write offsets are tracked per handle from its creation (position 0) and its
// FileSetPointer calls. All functions are safe to call from several threads.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace pelbrook::testing {

struct FileOpenCall {
    std::wstring path;
    std::uint32_t access = 0, shareMode = 0, disposition = 0, attributes = 0;
    int ordinal = 0;  // 0-based among the FileCreate calls with this disposition since SetFileFaults
    std::thread::id thread;
    bool succeeded = false;
};

struct FileFaultPlan {
    // True makes that FileCreate fail with the invalid handle. Runs outside the recorder's lock.
    std::function<bool(const FileOpenCall& call)> failOpen;
    std::uint64_t failWritesFrom = std::numeric_limits<std::uint64_t>::max();
    bool shortWriteAtLimit = false;
    bool failSetPointer = false;
    bool failSetEnd = false;
    bool failGetSize = false;
    // True makes that call fail; `attempt` counts the calls since SetFileFaults
    // from 0. Run outside the recorder's lock, so they may raise a cancel flag.
    std::function<bool(int attempt)> failDelete;
    std::function<bool(int attempt)> failMove;
    bool keepDeleted = false;
};

struct FileLog {
    std::vector<FileOpenCall> opens;  // every FileCreate in call order, failed ones included
    int closes = 0;
    int openHandles = 0;  // handles created and not yet closed
    int writes = 0;
    std::uint64_t bytesWritten = 0;
    int setEnds = 0;
    std::vector<std::wstring> deletes;                         // every FileDelete path, in call order
    std::vector<std::pair<std::wstring, std::wstring>> moves;  // every FileMove (from, to), in call order
    // Calls on a null, invalid or already closed handle; a sound caller leaves this empty.
    std::vector<std::string> misuses;
};

// Forgets what was recorded and sets the faults (none by default).
void SetFileFaults(FileFaultPlan plan = {});
FileLog RecordedFiles();
// A failOpen that fails the open with this disposition and ordinal only.
std::function<bool(const FileOpenCall&)> FailOpenNumber(std::uint32_t disposition, int ordinal);
// A failDelete or failMove that fails the first `tries` calls.
std::function<bool(int)> FailFirst(int tries);

// A new empty directory below the system's temporary folder, unique to this call.
std::wstring NewTestDirectory();
// Whole file content; empty when it cannot be read.
std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool PathExists(const std::wstring& path);
// Names of the entries of a directory, sorted.
std::vector<std::wstring> DirectoryNames(const std::wstring& path);
// A second name that reaches the existing file at `path`, as the platform
// makes one: its short 8.3 name on Windows, a symbolic link beside it
// natively; empty when there is none.
std::wstring MakeAlias(const std::wstring& path);
// Removes a directory made by NewTestDirectory, with its content.
void RemoveTestDirectory(const std::wstring& path);

}  // namespace pelbrook::testing
