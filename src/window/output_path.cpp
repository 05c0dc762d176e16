#include "window/output_path.h"

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "platform/text_scan.h"
#include "transport/url_parts.h"
#include "window/app_state.h"

namespace pelbrook {
namespace {

// Format characters that reorder or hide text: with them a name can show
// another extension than the one Windows acts on.
bool IsHiddenFormatCharacter(wchar_t c) {
    return (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

bool IsForbiddenInName(wchar_t c) {
    if (c < 0x20 || IsHiddenFormatCharacter(c)) return true;
    constexpr std::wstring_view Forbidden = L"<>:\"|*?\\/";
    return Forbidden.find(c) != std::wstring_view::npos;
}

// Windows resolves these to devices whatever extension follows them, and
// ignores blanks between the name and the extension.
bool IsDeviceName(const std::wstring& name) {
    std::wstring base = name.substr(0, name.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL"}) {
        if (EqualsIgnoringAsciiCase(base, device)) return true;
    }
    if (base.size() != 4) return false;
    std::wstring stem = base.substr(0, 3);
    if (!EqualsIgnoringAsciiCase(stem, L"COM") && !EqualsIgnoringAsciiCase(stem, L"LPT")) return false;
    wchar_t digit = base[3];
    // The superscript digits one to three count as digits here too.
    return (digit >= L'0' && digit <= L'9') || digit == 0x00B9 || digit == 0x00B2 || digit == 0x00B3;
}

bool OnlySeparators(const std::wstring& text) {
    for (wchar_t c : text) {
        if (c != L'/' && c != L'\\') return false;
    }
    return true;
}

}  // namespace

std::wstring ReadControlText(platform::WindowHandle control) {
    int length = platform::ControlTextLength(control);
    if (length <= 0) return std::wstring();
    std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 1, L'\0');
    platform::GetControlText(control, buffer.data(), length + 1);
    return std::wstring(buffer.data(), static_cast<std::size_t>(length));
}

std::wstring DefaultDownloadFolder() {
    std::array<wchar_t, platform::MaxPathChars> buffer{};
    if (platform::GetProfileFolder(buffer.data())) {
        buffer.back() = L'\0';
        const std::wstring folder = std::wstring(buffer.data()) + DownloadSubfolder;
        if (platform::PathExists(folder.c_str())) return folder;
    }
    // Where Windows keeps the folder after the user moved it (to another drive, say).
    buffer.fill(L'\0');
    if (platform::GetDownloadsKnownFolder(buffer.data())) {
        buffer.back() = L'\0';
        if (platform::PathExists(buffer.data())) return buffer.data();
    }
    return FallbackFolder;
}

std::wstring MakeSafeFileName(std::wstring name) {
    for (wchar_t& c : name) {
        if (IsForbiddenInName(c)) c = L'_';
    }
    for (std::size_t i = name.size(); i > 0 && (name[i - 1] == L'.' || name[i - 1] == L' '); --i) {
        name[i - 1] = L'_';
    }
    if (IsDeviceName(name)) name.insert(name.begin(), L'_');
    return name;
}

std::wstring FileNameFromUrl(const std::wstring& url) {
    UrlParts parts;
    if (!CrackUrl(url, parts)) return FallbackFileName;
    // The query is cut before the name is looked for: a '/' or ':' in it
    // (?next=/setup.exe, a signed link's time) would otherwise make the name.
    const std::wstring path = parts.path.substr(0, parts.path.find(L'?'));
    if (path.empty()) return FallbackFileName;
    const wchar_t* segment = platform::FindFileName(path.c_str());
    if (segment == nullptr || *segment == L'\0') return FallbackFileName;
    std::wstring name(segment);
    // A bare site root ("/") or a run of separators names nothing.
    if (name.empty() || OnlySeparators(name)) return FallbackFileName;
    return MakeSafeFileName(std::move(name));
}

std::wstring BuildOutputPath(const std::wstring& url) {
    std::wstring folder = ReadControlText(App.folderEdit);
    if (folder.empty()) folder = DefaultDownloadFolder();
    std::wstring name = FileNameFromUrl(url);
    if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
    return folder + name;
}

}  // namespace pelbrook
