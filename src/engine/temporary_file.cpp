#include "engine/temporary_file.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <string_view>
#include <thread>

#include "platform/files.h"
#include "platform/text_scan.h"

namespace pelbrook {
namespace {

// About 1.4 s in all: longer than a virus scanner or indexer usually holds a
// new file, short enough that a failure still shows soon after the transfer.
constexpr std::uint32_t RetryPausesMs[] = {200, 400, 800};

// Runs `step` until it succeeds, with the pauses between tries; stops before
// any try once `cancel` is set.
template <typename Step>
bool TryWithPauses(Step step, const std::atomic<bool>* cancel) {
    for (const std::uint32_t pause : RetryPausesMs) {
        if (Canceled(cancel)) return false;
        if (step()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
    return !Canceled(cancel) && step();
}

bool Gone(const std::wstring& path) {
    std::uint64_t size = 0;
    return !platform::FileGetSize(path.c_str(), &size);
}

// The "\\?\" form of an absolute path, which is not held to the plain limit;
// empty for a path that form cannot name as it is (relative, or with "." or
// ".." parts, which that form does not resolve).
std::wstring LongPathForm(std::wstring path) {
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    if (path.find(L"\\.\\") != std::wstring::npos || path.find(L"\\..\\") != std::wstring::npos) return {};
    const bool drive = path.size() > 2 && path[1] == L':' && path[2] == L'\\';
    const bool share = path.size() > 2 && path.compare(0, 2, L"\\\\") == 0 && path[2] != L'?' && path[2] != L'.';
    if (drive) return L"\\\\?\\" + path;
    if (share) return L"\\\\?\\UNC" + path.substr(1);
    return {};
}

}  // namespace

std::wstring TemporaryPathFor(const DownloadRequest& request) {
    const std::wstring& output = request.outputPath;
    const std::wstring& tag = request.temporaryTag;
    const std::wstring beside = output + (tag.empty() ? L"" : L"." + tag) + L".part";
    if (beside.size() <= LongestPlainPath || output.size() > LongestPlainPath) return beside;
    const std::size_t nameStart = output.find_last_of(L"\\/") + 1;  // 0 without a separator
    const std::wstring tagged = output.substr(0, nameStart) + (tag.empty() ? L"download" : tag) + L".part";
    if (tagged.size() <= LongestPlainPath) return tagged;
    const std::wstring longForm = LongPathForm(beside);
    return longForm.empty() ? beside : longForm;
}

bool ReplaceOutputFile(const std::wstring& temporaryPath, const std::wstring& outputPath,
                       const std::atomic<bool>* cancel) {
    return TryWithPauses(
        [&] {
            return platform::FileMove(temporaryPath.c_str(), outputPath.c_str(),
                                      platform::MoveFileReplaceExisting | platform::MoveFileWriteThrough);
        },
        cancel);
}

bool OutputPathNamesAnotherFile(const std::wstring& outputPath) {
    std::array<wchar_t, platform::FileNameChars> own{};
    if (!platform::FileFindName(outputPath.c_str(), own.data())) return false;
    const std::size_t nameStart = outputPath.find_last_of(L"\\/") + 1;  // 0 without a separator
    return !EqualsIgnoringAsciiCase(std::wstring_view(outputPath).substr(nameStart), own.data());
}

void DeleteTemporaryFile(const std::wstring& temporaryPath) {
    // A file that is not there (never created, or deleted by the window) is
    // as good as deleted: no reason to wait.
    TryWithPauses([&] { return platform::FileDelete(temporaryPath.c_str()) || Gone(temporaryPath); }, nullptr);
}

void AbandonTemporaryFile(const DownloadRequest& request) { platform::FileDelete(TemporaryPathFor(request).c_str()); }

}  // namespace pelbrook
