// The portable length parsing agrees with the C runtime's _wcstoui64 in base 10.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "transport/http_request.h"

namespace pelbrook {
namespace {

std::string Printable(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c >= 32 && c < 127 ? static_cast<char>(c) : '?';
    return out;
}

void ExpectAgreement(const std::wstring& text) {
    EXPECT_EQ(ParseUnsigned64(text), _wcstoui64(text.c_str(), nullptr, 10)) << Printable(text);
}

TEST(CrtAgreementTest, Table) {
    // Not here: a negative number too large for 64 bits. Windows' runtime gives
    // the largest value, as ParseUnsigned64 does; Wine's negates that to 1.
    const wchar_t* const texts[] = {
        L"0",
        L"42",
        L" 42 ",
        L"\t\r\n\v\f42",
        L"+42",
        L"-42",
        L"-1",
        L"-0",
        L"+",
        L"-",
        L"12abc",
        L"abc",
        L"",
        L"0x1A",
        L"+-1",
        L"-+1",
        L"- 1",
        L" - 1",
        L"1 2",
        L"007",
        L"18446744073709551615",
        L"18446744073709551616",
        L"99999999999999999999999",
        L"-18446744073709551615",
        L"184467440737095516150",
        L"4294967296",
        L"\u00a0 42",
        L"\u300042",
        L"\uff14\uff12",
        L"4\u0662",
        L"\u0966\u0967",
        L"\u0085"
        L"5",
        L"\u200b"
        L"5",
        L"\ufeff"
        L"5",
        L"\u180e"
        L"5",
        L"\u0be7"
        L"5",
    };
    for (const wchar_t* text : texts) ExpectAgreement(text);
}

// Every UTF-16 code unit, as leading white space, as a sign and as a digit.
TEST(CrtAgreementTest, EveryCodeUnit) {
    for (unsigned code = 1; code <= 0xFFFF; ++code) {
        const wchar_t c = static_cast<wchar_t>(code);
        ExpectAgreement(std::wstring{c, L'7'});
        ExpectAgreement(std::wstring{L'3', c, L'7'});
        ExpectAgreement(std::wstring{c});
        if (::testing::Test::HasFailure()) return;
    }
}

}  // namespace
}  // namespace pelbrook
