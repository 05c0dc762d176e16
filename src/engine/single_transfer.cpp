#include "engine/single_transfer.h"

#include <utility>

#include "transport/http_request.h"

namespace pelbrook {

bool DownloadSingleConnection(platform::HttpHandle session, const UrlParts& url, const std::wstring& outputPath,
                              ProgressCallback progress, const std::atomic<bool>* cancel, std::uint64_t expectedTotal) {
    platform::HttpHandle connection = OpenConnection(session, url);
    if (connection == nullptr) {
        return false;
    }
    platform::HttpHandle request = OpenRequest(connection, L"GET", url);
    if (request == nullptr) {
        platform::HttpCloseHandle(connection);
        return false;
    }

    ResponseInfo info;
    platform::FileHandle file = platform::InvalidFile();
    if (SendAndReceive(request, info, BaseRequestHeaders) && info.statusCode == 200) {
        // Shared for deletion so that the window can remove it while it is open.
        file = platform::FileCreate(outputPath.c_str(), platform::GenericWrite,
                                    platform::FileShareRead | platform::FileShareDelete, platform::CreateAlways,
                                    platform::FileAttributeNormal);
    }
    if (file == platform::InvalidFile()) {
        platform::HttpCloseHandle(request);
        platform::HttpCloseHandle(connection);
        return false;
    }

    // Without a length in the answer a cut-off body would look whole; the
    // size the probe learnt keeps that from passing as a finished file.
    const bool lengthGiven = !GetHeaderValue(info.rawHeaders, L"Content-Length").empty();
    const std::uint64_t expected = lengthGiven ? info.contentLength : expectedTotal;
    const bool ok = StreamBodyToFile(request, file, 0, expected, nullptr, std::move(progress), expected, cancel);

    platform::FileClose(file);
    platform::HttpCloseHandle(request);
    platform::HttpCloseHandle(connection);
    if (!ok) {
        platform::FileDelete(outputPath.c_str());
    }
    return ok;
}

}  // namespace pelbrook
