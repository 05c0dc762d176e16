#include "engine/segment_worker.h"

#include <locale>
#include <sstream>
#include <utility>

#include "engine/content_range.h"
#include "transport/handle_owner.h"
#include "transport/http_request.h"

namespace pelbrook {

namespace {

// A 206 may carry a Content-Range for other bytes than those asked for (a
// cache or proxy answering from a different version); writing those at our
// offset would corrupt the file silently.
bool RangeAnswerFits(const ResponseInfo& info, ByteRange range, std::uint64_t totalSize) {
    const std::wstring value = GetHeaderValue(info.rawHeaders, L"Content-Range");
    if (value.empty()) {
        return true;
    }
    ContentRange answered;
    if (!ParseContentRange(value, answered)) {
        return false;
    }
    if (answered.first != range.first) {
        return false;
    }
    return !answered.totalKnown || answered.total == totalSize;
}

}  // namespace

bool FetchSegment(platform::HttpHandle connection, const UrlParts& url, platform::FileHandle file, ByteRange range,
                  std::atomic<std::uint64_t>* transferredBytes, ProgressCallback progress, std::uint64_t totalSize,
                  const std::atomic<bool>* cancel) {
    std::wostringstream text;
    text.imbue(std::locale::classic());
    text << BaseRequestHeaders << L"Range: bytes=" << range.first << L"-" << range.last;
    const std::wstring headers = text.str();

    // Closed on return, before the next request goes out on this connection.
    const HttpHandleOwner request(OpenRequest(connection, L"GET", url));
    if (request.get() == nullptr) {
        return false;
    }
    ResponseInfo info;
    if (!SendAndReceive(request.get(), info, headers.c_str())) {
        return false;
    }
    const bool acceptable = (info.statusCode == 206 && RangeAnswerFits(info, range, totalSize)) ||
                            (info.statusCode == 200 && range.first == 0);
    if (!acceptable) {
        return false;
    }

    const std::uint64_t expected = range.last >= range.first ? range.last - range.first + 1 : 0;
    return StreamBodyToFile(request.get(), file, range.first, expected, transferredBytes, std::move(progress),
                            totalSize, cancel);
}

void RunSegmentWorker(WorkerContext context) {
    HttpHandleOwner connection;  // declared first: the file is closed before it
    const FileHandleOwner file(platform::FileCreate(context.outputPath.c_str(), platform::GenericWrite,
                                                    SegmentFileSharing, platform::OpenExisting,
                                                    platform::FileAttributeNormal));
    if (file.get() == platform::InvalidFile()) {
        context.failedSegments->fetch_add(1);
        return;
    }
    connection = HttpHandleOwner(OpenConnection(context.session, context.url));
    if (connection.get() == nullptr) {
        context.failedSegments->fetch_add(1);
        return;
    }

    const auto segmentCount = static_cast<std::int64_t>(context.segments->size());
    for (;;) {
        if (context.cancel != nullptr && context.cancel->load()) {
            break;
        }
        const std::int32_t index = context.nextSegmentIndex->fetch_add(1);
        if (index < 0 || index >= segmentCount) {
            break;
        }
        const ByteRange range = (*context.segments)[static_cast<std::size_t>(index)];
        if (FetchSegment(connection.get(), context.url, file.get(), range, context.transferredBytes, context.progress,
                         context.totalSize, context.cancel)) {
            if (context.completedSegments != nullptr) {
                context.completedSegments->fetch_add(1);
            }
        } else {
            context.failedSegments->fetch_add(1);
        }
    }
}

}  // namespace pelbrook
