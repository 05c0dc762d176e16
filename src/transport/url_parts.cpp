#include "transport/url_parts.h"

#include <algorithm>
#include <array>

#include "platform/http_client.h"

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
    parts.path.assign(path.data(), pathLength);
    parts.port = components.port;
    parts.secure = components.scheme == platform::SchemeHttps;
    return true;
}

}  // namespace pelbrook
