#pragma once

#include <cstdint>
#include <string>

namespace pelbrook {

struct UrlParts {
    std::wstring host;
    std::wstring path;  // with the query, as written in the URL; never the fragment
    std::uint16_t port = 80;
    bool secure = false;
};

// Fills `parts` from an http or https URL. On failure `parts` is left as it was.
// The fragment (from the first '#') is the client's own and never goes to the
// server; a '#' written as %23 is part of the path.
bool CrackUrl(const std::wstring& url, UrlParts& parts);

// The URL without the white space that copying from a page or a mail puts
// around it (space, tab, CR, LF, the no-break space), which is no part of it.
std::wstring TrimPastedUrl(const std::wstring& text);

}  // namespace pelbrook
