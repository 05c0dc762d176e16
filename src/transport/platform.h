// The HTTP client and file calls the transfer code relies on. Each function
// mirrors one platform call (WinHTTP, Win32 files) with the arguments the
// callers pass; the implementation is chosen at link time:
//   src/platform/win32   WinHTTP and the Win32 file calls (the product)
//   src/platform/posix   POSIX files and a URL cracker for native builds
//   tests/support        a scripted HTTP stand-in for the native tests
#pragma once

#include <cstdint>

namespace pelbrook::platform {

using HttpHandle = void*;  // HINTERNET
using FileHandle = void*;  // HANDLE

// The Win32 INVALID_HANDLE_VALUE.
inline FileHandle InvalidFile() { return reinterpret_cast<FileHandle>(static_cast<std::intptr_t>(-1)); }

// Numbers of the platform, spelt out so that callers need no Windows header.
// The Win32 implementation checks each against the SDK's definition.
constexpr std::uint32_t AccessTypeDefaultProxy = 0;
constexpr std::uint32_t OptionConnectTimeout = 3;
constexpr std::uint32_t OptionSendTimeout = 5;
constexpr std::uint32_t OptionReceiveTimeout = 6;
constexpr std::uint32_t OptionDisableFeature = 63;
constexpr std::uint32_t OptionMaxConnsPerServer = 73;
constexpr std::uint32_t OptionMaxConnsPer10Server = 74;
constexpr std::uint32_t DisableCookies = 1;
constexpr std::uint32_t FlagSecure = 0x00800000;
constexpr std::uint32_t QueryStatusCode = 19;
constexpr std::uint32_t QueryRawHeadersCrlf = 22;
constexpr std::uint32_t QueryFlagNumber = 0x20000000;
constexpr std::uint32_t ErrorInsufficientBuffer = 122;
constexpr int SchemeHttp = 1;
constexpr int SchemeHttps = 2;

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

// The fields of URL_COMPONENTS that the URL cracking uses. Buffers belong to
// the caller; lengths are in wide characters, as WinHttpCrackUrl counts them.
struct UrlComponents {
    wchar_t* hostName = nullptr;
    std::uint32_t hostNameLength = 0;
    wchar_t* urlPath = nullptr;
    std::uint32_t urlPathLength = 0;
    std::uint16_t port = 0;
    int scheme = 0;
};

// --- HTTP client (WinHTTP, synchronous) ---
HttpHandle HttpOpen(const wchar_t* userAgent, std::uint32_t accessType, const wchar_t* proxyName,
                    const wchar_t* proxyBypass, std::uint32_t flags);
bool HttpSetOption(HttpHandle handle, std::uint32_t option, const void* buffer, std::uint32_t length);
bool HttpCrackUrl(const wchar_t* url, std::uint32_t urlLength, std::uint32_t flags, UrlComponents& components);
HttpHandle HttpConnect(HttpHandle session, const wchar_t* serverName, std::uint16_t port, std::uint32_t reserved);
HttpHandle HttpOpenRequest(HttpHandle connection, const wchar_t* verb, const wchar_t* objectName,
                           const wchar_t* version, const wchar_t* referrer, const wchar_t* const* acceptTypes,
                           std::uint32_t flags);
bool HttpSendRequest(HttpHandle request, const wchar_t* headers, std::uint32_t headersLength, const void* optional,
                     std::uint32_t optionalLength, std::uint32_t totalLength, std::uintptr_t context);
bool HttpReceiveResponse(HttpHandle request, void* reserved);
// bufferLength is in bytes, in and out, as for WinHttpQueryHeaders.
bool HttpQueryHeaders(HttpHandle request, std::uint32_t infoLevel, const wchar_t* name, void* buffer,
                      std::uint32_t* bufferLength, std::uint32_t* index);
bool HttpReadData(HttpHandle request, void* buffer, std::uint32_t bytesToRead, std::uint32_t* bytesRead);
bool HttpCloseHandle(HttpHandle handle);
// GetLastError of the calling thread, as left by the last HTTP call.
std::uint32_t HttpLastError();

// --- Files (Win32) ---
// CreateFileW without security attributes or template.
FileHandle FileCreate(const wchar_t* path, std::uint32_t access, std::uint32_t shareMode, std::uint32_t disposition,
                      std::uint32_t attributes);
// SetFilePointerEx without the new-position output.
bool FileSetPointer(FileHandle file, std::uint64_t distance, std::uint32_t moveMethod);
bool FileSetEnd(FileHandle file);
// WriteFile without overlapped I/O.
bool FileWrite(FileHandle file, const void* buffer, std::uint32_t bytesToWrite, std::uint32_t* bytesWritten);
bool FileClose(FileHandle file);
// GetFileAttributesExW at the standard information level, reduced to the size.
bool FileGetSize(const wchar_t* path, std::uint64_t* size);
bool FileDelete(const wchar_t* path);
// MoveFileExW. The caller passes MoveFileReplaceExisting, so an existing file
// at `to` is replaced in one step; it stays as it was when the call fails.
bool FileMove(const wchar_t* from, const wchar_t* to, std::uint32_t flags);

}  // namespace pelbrook::platform
