#include <windows.h>
#include <winhttp.h>

#include "platform/http_client.h"

namespace pelbrook::platform {

static_assert(SchemeHttp == INTERNET_SCHEME_HTTP);
static_assert(SchemeHttps == INTERNET_SCHEME_HTTPS);

bool HttpCrackUrl(const wchar_t* url, std::uint32_t urlLength, std::uint32_t flags, UrlComponents& components) {
    URL_COMPONENTS c;
    ZeroMemory(&c, sizeof(c));
    c.dwStructSize = sizeof(c);
    c.lpszHostName = components.hostName;
    c.dwHostNameLength = components.hostNameLength;
    c.lpszUrlPath = components.urlPath;
    c.dwUrlPathLength = components.urlPathLength;
    if (!WinHttpCrackUrl(url, urlLength, flags, &c)) return false;
    components.hostNameLength = c.dwHostNameLength;
    components.urlPathLength = c.dwUrlPathLength;
    components.port = c.nPort;
    components.scheme = static_cast<int>(c.nScheme);
    return true;
}

}  // namespace pelbrook::platform
