#include "transport/http_request.h"

#include <limits>
#include <string_view>
#include <vector>

#include "platform/text_scan.h"

namespace pelbrook {

platform::HttpHandle OpenConnection(platform::HttpHandle session, const UrlParts& url) {
    return platform::HttpConnect(session, url.host.c_str(), url.port, 0);
}

platform::HttpHandle OpenRequest(platform::HttpHandle connection, const wchar_t* verb, const UrlParts& url) {
    return platform::HttpOpenRequest(connection, verb, url.path.c_str(), nullptr, nullptr, nullptr,
                                     url.secure ? platform::FlagSecure : 0);
}

bool SendAndReceive(platform::HttpHandle request, ResponseInfo& info, const wchar_t* extraHeaders) {
    const std::uint32_t headersLength = extraHeaders != nullptr ? 0xFFFFFFFFu : 0;
    if (!platform::HttpSendRequest(request, extraHeaders, headersLength, nullptr, 0, 0, 0)) return false;
    if (!platform::HttpReceiveResponse(request, nullptr)) return false;
    std::uint32_t status = 0;
    std::uint32_t size = sizeof(status);
    if (!platform::HttpQueryHeaders(request, platform::QueryStatusCode | platform::QueryFlagNumber, nullptr, &status,
                                    &size, nullptr)) {
        return false;
    }
    info.statusCode = status;
    return ReadResponseHeaders(request, info);
}

bool ReadResponseHeaders(platform::HttpHandle request, ResponseInfo& info) {
    std::uint32_t size = 0;
    if (platform::HttpQueryHeaders(request, platform::QueryRawHeadersCrlf, nullptr, nullptr, &size, nullptr)) {
        return false;
    }
    if (platform::HttpLastError() != platform::ErrorInsufficientBuffer) return false;
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    if (!platform::HttpQueryHeaders(request, platform::QueryRawHeadersCrlf, nullptr, buffer.data(), &size, nullptr)) {
        return false;
    }
    // The last element is never written by the query, so the text always ends.
    info.rawHeaders = std::wstring(buffer.data());
    const std::wstring length = GetHeaderValue(info.rawHeaders, L"Content-Length");
    info.contentLength = length.empty() ? 0 : ParseUnsigned64(length);
    return true;
}

std::wstring GetHeaderValue(const std::wstring& rawHeaders, const std::wstring& name) {
    // The first line is the status line, never a header.
    std::size_t lineStart = rawHeaders.find(L"\r\n");
    if (lineStart == std::wstring::npos) return std::wstring();
    lineStart += 2;
    while (lineStart < rawHeaders.size()) {
        std::size_t lineEnd = rawHeaders.find(L"\r\n", lineStart);
        if (lineEnd == std::wstring::npos) lineEnd = rawHeaders.size();
        std::size_t colon = lineStart;
        while (colon < lineEnd && rawHeaders[colon] != L':') ++colon;
        if (colon < lineEnd &&
            EqualsIgnoringAsciiCase(std::wstring_view(rawHeaders).substr(lineStart, colon - lineStart), name)) {
            return TrimWhitespace(rawHeaders.substr(colon + 1, lineEnd - colon - 1));
        }
        lineStart = lineEnd + 2;
    }
    return std::wstring();
}

std::wstring TrimWhitespace(const std::wstring& text) { return std::wstring(TrimmedOf(text, L" \t\r\n")); }

bool ContentLengthAgrees(const ResponseInfo& info, std::uint64_t size) {
    const std::wstring value = GetHeaderValue(info.rawHeaders, L"Content-Length");
    if (value.empty()) return true;
    std::size_t end = 0;
    const DigitRun digits = ReadDigits(value, end);
    return end == value.size() && !digits.overflow && digits.value == size;
}

std::uint64_t ParseUnsigned64(const std::wstring& text) {
    const LeadingNumber number = ScanLeadingNumber(text);
    // An overflow gives the largest value whatever the sign.
    if (number.overflow) return std::numeric_limits<std::uint64_t>::max();
    return number.negative ? ~number.magnitude + 1 : number.magnitude;
}

}  // namespace pelbrook
