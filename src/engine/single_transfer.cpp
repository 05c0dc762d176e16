#include "engine/single_transfer.h"

#include <utility>

#include "transport/handle_owner.h"
#include "transport/http_request.h"
#include "engine/download_job.h"

namespace pelbrook {

bool DownloadSingleConnection(platform::HttpHandle session, const UrlParts& url, const std::wstring& outputPath,
                              ProgressCallback progress, const std::atomic<bool>* cancel, std::uint64_t expectedTotal) {
    const HttpHandleOwner connection(OpenConnection(session, url));
    if (connection.get() == nullptr) {
        return false;
    }
    const HttpHandleOwner request(OpenRequest(connection.get(), L"GET", url));
    if (request.get() == nullptr) {
        return false;
    }
    ResponseInfo info;
    if (!SendAndReceive(request.get(), info, BaseRequestHeaders) || info.statusCode != 200) {
        return false;
    }
    // The file is whole at the size the probe learnt and at no other: an
    // answer that names another length, or one that reads as no number, is
    // not that file.
    if (!ContentLengthAgrees(info, expectedTotal)) {
        return false;
    }
    // The answer may come long after a cancel: no file for a job nobody waits for.
    if (Canceled(cancel)) {
        return false;
    }
    // Shared for deletion so that the window can remove it while it is open.
    const FileHandleOwner file(platform::FileCreate(outputPath.c_str(), platform::GenericWrite,
                                                    platform::FileShareRead | platform::FileShareDelete,
                                                    platform::CreateAlways, platform::FileAttributeNormal));
    if (file.get() == platform::InvalidFile()) {
        return false;
    }

    // Without a length in the answer a cut-off body, or one that runs on,
    // would look whole: the body must bring the probed size, and no more.
    return StreamBodyToFile(request.get(), file.get(), 0, expectedTotal, nullptr, std::move(progress), expectedTotal,
                            cancel, BodyBounds{0, expectedTotal});
}

}  // namespace pelbrook
