// The HTTP client the transfer code relies on: WinHTTP in synchronous mode.
// Each function mirrors one WinHTTP call with the arguments the callers pass;
// the implementation is chosen at link time:
//   win32/winhttp_client.cpp, win32/winhttp_crack_url.cpp   the product
//   posix/url_cracker.cpp                                   URL cracking in native builds
//   tests/support/scripted_http.cpp                          a scripted stand-in for native tests
#pragma once

#include <cstdint>

namespace pelbrook::platform {

using HttpHandle = void*;  // HINTERNET

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

}  // namespace pelbrook::platform
