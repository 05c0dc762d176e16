// The text readers every layer shares: ASCII case folding, decimal digits
// and numbers read as the C runtime's wide conversions read them (_wcstoui64,
// _wtoi). Header-only, so that the native URL cracker below the transport
// library can use them too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pelbrook {

inline wchar_t AsciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

// Equal but for the case of the letters A to Z.
inline bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    }
    return true;
}

// The value of a decimal digit, -1 for anything else. With `runtimeDigits`
// the digits of the other scripts that the C runtime's wide conversions read
// count too; the value of such a digit is its distance from its block's zero.
inline int DigitValue(wchar_t c, bool runtimeDigits) {
    static constexpr std::uint32_t Zeros[] = {0x0030, 0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66, 0x0AE6, 0x0B66, 0x0C66,
                                              0x0CE6, 0x0D66, 0x0E50, 0x0ED0, 0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10};
    const auto code = static_cast<std::uint32_t>(c);
    for (std::uint32_t zero : Zeros) {
        if (code >= zero && code <= zero + 9) return static_cast<int>(code - zero);
        if (!runtimeDigits) break;
    }
    return -1;
}

struct DigitRun {
    std::size_t count = 0;    // digits read
    bool overflow = false;    // their value does not fit 64 bits
    std::uint64_t value = 0;  // valid unless overflow
};

// Reads the digits at `pos` up to the first other character and moves `pos`
// past them.
inline DigitRun ReadDigits(std::wstring_view text, std::size_t& pos, bool runtimeDigits = false) {
    constexpr std::uint64_t Max = ~std::uint64_t{0};
    DigitRun run;
    for (int digit = 0; pos < text.size() && (digit = DigitValue(text[pos], runtimeDigits)) >= 0; ++pos, ++run.count) {
        const auto d = static_cast<std::uint64_t>(digit);
        if (run.overflow || run.value > (Max - d) / 10) {
            run.overflow = true;
        } else {
            run.value = run.value * 10 + d;
        }
    }
    return run;
}

// The text without the leading and trailing characters that `blanks` holds.
inline std::wstring_view TrimmedOf(std::wstring_view text, std::wstring_view blanks) {
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::wstring_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// What the C runtime's iswspace calls white space: its conversions skip it.
inline bool IsRuntimeSpace(wchar_t c) {
    constexpr std::wstring_view Spaces = L"\t\n\v\f\r \u00A0\u1680\u2028\u2029\u202F\u205F\u3000";
    return Spaces.find(c) != std::wstring_view::npos || (c >= 0x2000 && c <= 0x200A);
}

// The leading decimal number of a text as the C runtime's wide conversions
// read it: white space skipped, an optional sign, then digits up to the first
// other character.
struct LeadingNumber {
    bool negative = false;
    bool overflow = false;        // the digits do not fit 64 bits
    std::uint64_t magnitude = 0;  // valid unless overflow
};

inline LeadingNumber ScanLeadingNumber(std::wstring_view text) {
    LeadingNumber number;
    std::size_t i = 0;
    while (i < text.size() && IsRuntimeSpace(text[i])) ++i;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        number.negative = text[i] == L'-';
        ++i;
    }
    const DigitRun digits = ReadDigits(text, i, true);
    number.overflow = digits.overflow;
    number.magnitude = digits.value;
    return number;
}

}  // namespace pelbrook
