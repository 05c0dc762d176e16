#include "transport/url_parts.h"

#include <algorithm>
#include <array>

#include "platform/http_client.h"
#include "platform/text_scan.h"

namespace pelbrook {

namespace {
constexpr std::uint32_t HostBufferLength = 512;
constexpr std::uint32_t PathBufferLength = 4096;
}  // namespace

bool CrackUrl(const std::wstring& url, UrlParts& parts) {
    std::array<wchar_t, HostBufferLength> host{};
    std::array<wchar_t, PathBufferLength> path{};
    platform::UrlComponents components;
    components.hostName = host.data();
    components.hostNameLength = HostBufferLength;
    components.urlPath = path.data();
    components.urlPathLength = PathBufferLength;
    if (!platform::HttpCrackUrl(url.c_str(), 0, 0, components)) return false;

    // The lengths come back from the platform; never trust them past our buffers.
    const std::size_t hostLength = std::min<std::size_t>(components.hostNameLength, HostBufferLength - 1);
    const std::size_t pathLength = std::min<std::size_t>(components.urlPathLength, PathBufferLength - 1);
    parts.host.assign(host.data(), hostLength);
    const std::wstring_view written(path.data(), pathLength);
    parts.path.assign(written.substr(0, written.find(L'#')));
    parts.port = components.port;
    parts.secure = components.scheme == platform::SchemeHttps;
    return true;
}

std::wstring TrimPastedUrl(const std::wstring& text) { return std::wstring(TrimmedOf(text, L" \t\r\n\u00A0")); }

}  // namespace pelbrook
