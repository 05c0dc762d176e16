#include "engine/content_range.h"

namespace pelbrook {

namespace {

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

wchar_t AsciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

void SkipBlanks(const std::wstring& text, std::size_t& pos) {
    while (pos < text.size() && (text[pos] == L' ' || text[pos] == L'\t')) {
        ++pos;
    }
}

}  // namespace

bool ReadDecimal(const std::wstring& text, std::size_t& pos, std::uint64_t& value) {
    constexpr std::uint64_t Max = ~std::uint64_t{0};
    std::size_t at = pos;
    std::uint64_t result = 0;
    while (at < text.size() && IsDigit(text[at])) {
        const auto digit = static_cast<std::uint64_t>(text[at] - L'0');
        if (result > (Max - digit) / 10) {
            return false;
        }
        result = result * 10 + digit;
        ++at;
    }
    if (at == pos) {
        return false;
    }
    pos = at;
    value = result;
    return true;
}

std::uint64_t ContentRangeTotal(const std::wstring& value) {
    std::size_t pos = value.find(L'/');
    if (pos == std::wstring::npos) {
        return 0;
    }
    ++pos;
    std::uint64_t total = 0;
    return ReadDecimal(value, pos, total) ? total : 0;
}

bool ParseContentRange(const std::wstring& value, ContentRange& range) {
    static const std::wstring unit = L"bytes";
    if (value.size() <= unit.size()) {
        return false;
    }
    for (std::size_t i = 0; i < unit.size(); ++i) {
        if (AsciiLower(value[i]) != unit[i]) {
            return false;
        }
    }
    std::size_t pos = unit.size();
    if (value[pos] != L' ' && value[pos] != L'\t') {
        return false;
    }
    SkipBlanks(value, pos);

    ContentRange parsed;
    if (!ReadDecimal(value, pos, parsed.first)) {
        return false;
    }
    if (pos >= value.size() || value[pos] != L'-') {
        return false;
    }
    ++pos;
    if (!ReadDecimal(value, pos, parsed.last) || parsed.last < parsed.first) {
        return false;
    }
    if (pos >= value.size() || value[pos] != L'/') {
        return false;
    }
    ++pos;
    if (pos < value.size() && value[pos] == L'*') {
        ++pos;
    } else {
        if (!ReadDecimal(value, pos, parsed.total) || parsed.last >= parsed.total) {
            return false;
        }
        parsed.totalKnown = true;
    }
    if (pos != value.size()) {
        return false;
    }
    range = parsed;
    return true;
}

}  // namespace pelbrook
