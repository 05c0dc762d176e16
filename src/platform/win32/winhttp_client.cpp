#include <windows.h>
#include <winhttp.h>

#include "platform/http_client.h"

namespace pelbrook::platform {

static_assert(AccessTypeDefaultProxy == WINHTTP_ACCESS_TYPE_DEFAULT_PROXY);
static_assert(OptionConnectTimeout == WINHTTP_OPTION_CONNECT_TIMEOUT);
static_assert(OptionSendTimeout == WINHTTP_OPTION_SEND_TIMEOUT);
static_assert(OptionReceiveTimeout == WINHTTP_OPTION_RECEIVE_TIMEOUT);
static_assert(OptionDisableFeature == WINHTTP_OPTION_DISABLE_FEATURE);
static_assert(OptionMaxConnsPerServer == WINHTTP_OPTION_MAX_CONNS_PER_SERVER);
static_assert(OptionMaxConnsPer10Server == WINHTTP_OPTION_MAX_CONNS_PER_1_0_SERVER);
static_assert(DisableCookies == WINHTTP_DISABLE_COOKIES);
static_assert(FlagSecure == WINHTTP_FLAG_SECURE);
static_assert(QueryStatusCode == WINHTTP_QUERY_STATUS_CODE);
static_assert(QueryRawHeadersCrlf == WINHTTP_QUERY_RAW_HEADERS_CRLF);
static_assert(QueryFlagNumber == WINHTTP_QUERY_FLAG_NUMBER);
static_assert(ErrorInsufficientBuffer == ERROR_INSUFFICIENT_BUFFER);

HttpHandle HttpOpen(const wchar_t* userAgent, std::uint32_t accessType, const wchar_t* proxyName,
                    const wchar_t* proxyBypass, std::uint32_t flags) {
    return WinHttpOpen(userAgent, accessType, proxyName, proxyBypass, flags);
}

bool HttpSetOption(HttpHandle handle, std::uint32_t option, const void* buffer, std::uint32_t length) {
    return WinHttpSetOption(handle, option, const_cast<void*>(buffer), length) != FALSE;
}

HttpHandle HttpConnect(HttpHandle session, const wchar_t* serverName, std::uint16_t port, std::uint32_t reserved) {
    return WinHttpConnect(session, serverName, port, reserved);
}

HttpHandle HttpOpenRequest(HttpHandle connection, const wchar_t* verb, const wchar_t* objectName,
                           const wchar_t* version, const wchar_t* referrer, const wchar_t* const* acceptTypes,
                           std::uint32_t flags) {
    return WinHttpOpenRequest(connection, verb, objectName, version, referrer, const_cast<LPCWSTR*>(acceptTypes),
                              flags);
}

bool HttpSendRequest(HttpHandle request, const wchar_t* headers, std::uint32_t headersLength, const void* optional,
                     std::uint32_t optionalLength, std::uint32_t totalLength, std::uintptr_t context) {
    return WinHttpSendRequest(request, headers, headersLength, const_cast<void*>(optional), optionalLength, totalLength,
                              static_cast<DWORD_PTR>(context)) != FALSE;
}

bool HttpReceiveResponse(HttpHandle request, void* reserved) {
    return WinHttpReceiveResponse(request, reserved) != FALSE;
}

bool HttpQueryHeaders(HttpHandle request, std::uint32_t infoLevel, const wchar_t* name, void* buffer,
                      std::uint32_t* bufferLength, std::uint32_t* index) {
    // DWORD need not be the same type as std::uint32_t: pass copies, hand back the results.
    DWORD length = bufferLength != nullptr ? *bufferLength : 0;
    DWORD at = index != nullptr ? *index : 0;
    const BOOL ok = WinHttpQueryHeaders(request, infoLevel, name, buffer, bufferLength != nullptr ? &length : nullptr,
                                        index != nullptr ? &at : nullptr);
    if (bufferLength != nullptr) *bufferLength = length;
    if (index != nullptr) *index = at;
    return ok != FALSE;
}

bool HttpReadData(HttpHandle request, void* buffer, std::uint32_t bytesToRead, std::uint32_t* bytesRead) {
    DWORD got = 0;
    const BOOL ok = WinHttpReadData(request, buffer, bytesToRead, bytesRead != nullptr ? &got : nullptr);
    if (bytesRead != nullptr) *bytesRead = got;
    return ok != FALSE;
}

bool HttpCloseHandle(HttpHandle handle) { return WinHttpCloseHandle(handle) != FALSE; }

std::uint32_t HttpLastError() { return GetLastError(); }

}  // namespace pelbrook::platform
