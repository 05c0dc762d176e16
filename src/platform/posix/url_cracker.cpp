// URL cracking for native builds, following what WinHttpCrackUrl does with
// flags 0: scheme http or https in any case, then "//"; the authority runs to
// the first '/', user info to its first '@' is dropped; the host runs to the
// first ':' and the port is the value of the digits that follow (none: 0, no
// ':' or nothing after it: the scheme's default, above 65535: failure); the
// path is the rest, query and fragment included. A bracketed IPv6 literal is
// kept whole as the host, as Windows does.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/http_client.h"
#include "platform/text_scan.h"

namespace pelbrook::platform {
namespace {

bool ParsePort(std::wstring_view text, std::uint16_t& port) {
    std::size_t end = 0;
    const DigitRun digits = ReadDigits(text, end);
    if (digits.overflow || digits.value > 65535) return false;
    port = static_cast<std::uint16_t>(digits.value);
    return true;
}

// Copies with a terminating NUL; fails when the text and the NUL do not fit.
bool CopyOut(std::wstring_view text, wchar_t* buffer, std::uint32_t& length) {
    if (buffer == nullptr) return true;
    if (text.size() + 1 > length) return false;
    if (!text.empty()) std::memcpy(buffer, text.data(), text.size() * sizeof(wchar_t));
    buffer[text.size()] = L'\0';
    length = static_cast<std::uint32_t>(text.size());
    return true;
}

}  // namespace

bool HttpCrackUrl(const wchar_t* url, std::uint32_t urlLength, std::uint32_t flags, UrlComponents& components) {
    if (url == nullptr || flags != 0) return false;
    const std::wstring_view text = urlLength == 0 ? std::wstring_view(url) : std::wstring_view(url, urlLength);

    const std::size_t colon = text.find(L':');
    if (colon == std::wstring_view::npos) return false;
    const std::wstring_view schemeName = text.substr(0, colon);
    int scheme = 0;
    std::uint16_t port = 0;
    if (EqualsIgnoringAsciiCase(schemeName, L"http")) {
        scheme = SchemeHttp;
        port = 80;
    } else if (EqualsIgnoringAsciiCase(schemeName, L"https")) {
        scheme = SchemeHttps;
        port = 443;
    } else {
        return false;
    }
    std::wstring_view rest = text.substr(colon + 1);
    if (rest.substr(0, 2) != L"//") return false;
    rest.remove_prefix(2);
    if (rest.empty()) return false;

    const std::size_t slash = rest.find(L'/');
    std::wstring_view authority = rest.substr(0, slash);
    const std::wstring_view path = slash == std::wstring_view::npos ? std::wstring_view() : rest.substr(slash);
    const std::size_t at = authority.find(L'@');
    if (at != std::wstring_view::npos) authority.remove_prefix(at + 1);

    std::wstring_view host;
    std::wstring_view afterHost;
    if (!authority.empty() && authority.front() == L'[') {
        const std::size_t close = authority.find(L']');
        if (close == std::wstring_view::npos) return false;
        host = authority.substr(0, close + 1);
        afterHost = authority.substr(close + 1);
    } else {
        host = authority.substr(0, authority.find(L':'));
        afterHost = authority.substr(host.size());
    }
    if (!afterHost.empty() && afterHost.front() == L':' && afterHost.size() > 1) {
        if (!ParsePort(afterHost.substr(1), port)) return false;
    }

    std::uint32_t hostLength = components.hostNameLength;
    std::uint32_t pathLength = components.urlPathLength;
    if (!CopyOut(host, components.hostName, hostLength) || !CopyOut(path, components.urlPath, pathLength)) {
        return false;
    }
    components.hostNameLength = hostLength;
    components.urlPathLength = pathLength;
    components.port = port;
    components.scheme = scheme;
    return true;
}

}  // namespace pelbrook::platform
