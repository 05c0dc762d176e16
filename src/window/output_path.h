#pragma once

#include <string>

#include "platform/window_services.h"

namespace pelbrook {

// The profile's folder for downloads, below the profile folder.
inline constexpr wchar_t DownloadSubfolder[] = L"\\Downloads";
// The folder used when the profile has no Downloads folder.
inline constexpr wchar_t FallbackFolder[] = L".";
// The name used when the URL gives none.
inline constexpr wchar_t FallbackFileName[] = L"download.bin";

// The whole text of a control, untrimmed; empty when it has none.
std::wstring ReadControlText(platform::WindowHandle control);

// The profile's Downloads folder when it exists, else the shell's Downloads
// folder when it exists, else ".".
std::wstring DefaultDownloadFolder();

// The output file's name as the URL gives it, made safe to create; never empty.
std::wstring FileNameFromUrl(const std::wstring& url);

// Replaces what Windows would not store as an ordinary file name, or would
// show as another name: forbidden characters, format characters that reorder
// or hide text, a trailing run of dots and blanks, and device names.
std::wstring MakeSafeFileName(std::wstring name);

// The folder field, a backslash when it does not end in one, and the name
// that `url` gives (the URL the job fetches, as the window took it).
std::wstring BuildOutputPath(const std::wstring& url);

}  // namespace pelbrook
