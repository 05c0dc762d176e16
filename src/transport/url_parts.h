#pragma once

#include <cstdint>
#include <string>

namespace pelbrook {

struct UrlParts {
    std::wstring host;
    std::wstring path;  // with the query, as written in the URL
    std::uint16_t port = 80;
    bool secure = false;
};

// Fills `parts` from an http or https URL. On failure `parts` is left as it was.
bool CrackUrl(const std::wstring& url, UrlParts& parts);

}  // namespace pelbrook
