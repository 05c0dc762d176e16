// The file calls the transfer code relies on: the Win32 file API. Each
// function mirrors one call with the arguments the callers pass; the
// implementation is chosen at link time:
//   win32/win32_files.cpp            the product
//   posix/posix_files.cpp            native builds
//   tests/support/test_files.cpp     a recorder with a fault plan in front of either
#pragma once

#include <cstdint>

// The namespace the implementations define the calls in: the tests compile
// them again under another (tests/support/real_files.cpp).
#ifndef PELBROOK_FILE_CALLS_NAMESPACE
#define PELBROOK_FILE_CALLS_NAMESPACE pelbrook::platform
#endif

namespace pelbrook::platform {

using FileHandle = void*;  // HANDLE

// The Win32 INVALID_HANDLE_VALUE.
inline FileHandle InvalidFile() { return reinterpret_cast<FileHandle>(static_cast<std::intptr_t>(-1)); }

// Numbers of the platform, spelt out so that callers need no Windows header.
// The Win32 implementation checks each against the SDK's definition.
constexpr std::uint32_t GenericWrite = 0x40000000;
constexpr std::uint32_t FileShareRead = 1;
constexpr std::uint32_t FileShareWrite = 2;
constexpr std::uint32_t FileShareDelete = 4;
constexpr std::uint32_t CreateAlways = 2;
constexpr std::uint32_t OpenExisting = 3;
constexpr std::uint32_t FileAttributeNormal = 0x80;
constexpr std::uint32_t FileBegin = 0;
constexpr std::uint32_t MoveFileReplaceExisting = 1;
constexpr std::uint32_t MoveFileWriteThrough = 8;
// MAX_PATH: the room WIN32_FIND_DATAW has for a name.
constexpr std::uint32_t FileNameChars = 260;

// The file calls, listed once as CALL(result, name, parameters): this header
// declares them from the list, and the test recorder its view of the real ones.
#define PELBROOK_FILE_CALLS(CALL)                                                                        \
    /* CreateFileW without security attributes or template. */                                           \
    CALL(FileHandle, FileCreate,                                                                         \
         (const wchar_t* path, std::uint32_t access, std::uint32_t shareMode, std::uint32_t disposition, \
          std::uint32_t attributes))                                                                     \
    /* SetFilePointerEx without the new-position output. */                                              \
    CALL(bool, FileSetPointer, (FileHandle file, std::uint64_t distance, std::uint32_t moveMethod))      \
    CALL(bool, FileSetEnd, (FileHandle file))                                                            \
    /* WriteFile without overlapped I/O. */                                                              \
    CALL(bool, FileWrite,                                                                                \
         (FileHandle file, const void* buffer, std::uint32_t bytesToWrite, std::uint32_t* bytesWritten)) \
    CALL(bool, FileClose, (FileHandle file))                                                             \
    /* GetFileAttributesExW at the standard information level, reduced to the size. */                   \
    CALL(bool, FileGetSize, (const wchar_t* path, std::uint64_t* size))                                  \
    CALL(bool, FileDelete, (const wchar_t* path))                                                        \
    /* MoveFileExW. The caller passes MoveFileReplaceExisting, so an existing file */                    \
    /* at `to` is replaced in one step; it stays as it was when the call fails. */                       \
    CALL(bool, FileMove, (const wchar_t* from, const wchar_t* to, std::uint32_t flags))                 \
    /* FindFirstFileW on the path and FindClose, reduced to the entry's own name */                     \
    /* (cFileName) copied into `name`, FileNameChars long; false when nothing is there. */             \
    CALL(bool, FileFindName, (const wchar_t* path, wchar_t* name))

#define PELBROOK_DECLARE_FILE_CALL(result, name, parameters) result name parameters;
PELBROOK_FILE_CALLS(PELBROOK_DECLARE_FILE_CALL)

}  // namespace pelbrook::platform
