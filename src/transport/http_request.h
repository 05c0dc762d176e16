#pragma once

#include <cstdint>
#include <string>

#include "platform/http_client.h"
#include "transport/url_parts.h"

namespace pelbrook {

struct ResponseInfo {
    std::uint32_t statusCode = 0;
    std::wstring rawHeaders;
    std::uint64_t contentLength = 0;  // 0 when absent or empty
};

inline constexpr wchar_t BaseRequestHeaders[] = L"Accept: */*\r\nConnection: keep-alive\r\n";

// WinHttpConnect(session, host, port, 0); null on failure.
platform::HttpHandle OpenConnection(platform::HttpHandle session, const UrlParts& url);
// WinHttpOpenRequest with the program's one fixed set of arguments; null on failure.
platform::HttpHandle OpenRequest(platform::HttpHandle connection, const wchar_t* verb, const UrlParts& url);

// Sends the request (no body), receives the response, reads status and headers.
// extraHeaders may be null: then no header text is passed at all.
bool SendAndReceive(platform::HttpHandle request, ResponseInfo& info, const wchar_t* extraHeaders);
bool ReadResponseHeaders(platform::HttpHandle request, ResponseInfo& info);

// The value of the first header line whose whole name equals `name`, ignoring
// ASCII case, trimmed; empty when there is none.
std::wstring GetHeaderValue(const std::wstring& rawHeaders, const std::wstring& name);
std::wstring TrimWhitespace(const std::wstring& text);
// True when the answer names no Content-Length, or names `size` in nothing but
// decimal digits. A length that reads as no number (abc, 12abc, 5, 5) is no
// length the answer can be trusted for: the platform ends such a body early.
bool ContentLengthAgrees(const ResponseInfo& info, std::uint64_t size);
// _wcstoui64(text, nullptr, 10), the same on every build.
std::uint64_t ParseUnsigned64(const std::wstring& text);

}  // namespace pelbrook
