#include "engine/content_range.h"

#include "platform/text_scan.h"

namespace pelbrook {

namespace {

void SkipBlanks(const std::wstring& text, std::size_t& pos) {
    while (pos < text.size() && (text[pos] == L' ' || text[pos] == L'\t')) {
        ++pos;
    }
}

// One or more digits at `pos` that fit 64 bits.
bool ReadDecimal(const std::wstring& text, std::size_t& pos, std::uint64_t& value) {
    const DigitRun digits = ReadDigits(text, pos);
    value = digits.value;
    return digits.count > 0 && !digits.overflow;
}

}  // namespace

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
    if (!EqualsIgnoringAsciiCase(std::wstring_view(value).substr(0, unit.size()), unit)) {
        return false;
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
