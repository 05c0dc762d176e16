#include "engine/segment_worker.h"

#include <locale>
#include <sstream>
#include <utility>

#include "engine/content_range.h"
#include "transport/handle_owner.h"
#include "transport/http_request.h"
#include "engine/download_job.h"

namespace pelbrook {

namespace {

// What of a 206 body goes into the segment. The answer may be for other bytes
// than those asked for (a cache or proxy answering from a different version);
// writing those at our offset would corrupt the file silently. It may name
// more than the segment (some servers answer to the end of the file): those
// bytes belong to other segments and are not written.
bool RangeAnswerBounds(const ResponseInfo& info, ByteRange range, std::uint64_t totalSize, BodyBounds& bounds) {
    const std::uint64_t length = range.last >= range.first ? range.last - range.first + 1 : 0;
    bounds = BodyBounds{length, length};
    // Without it nothing tells which bytes came.
    const std::wstring value = GetHeaderValue(info.rawHeaders, L"Content-Range");
    ContentRange answered;
    if (!ParseContentRange(value, answered) || answered.first != range.first) {
        return false;
    }
    if (answered.totalKnown && answered.total != totalSize) {
        return false;
    }
    bounds.declared = answered.last - answered.first + 1;
    return ContentLengthAgrees(info, bounds.declared);
}

}  // namespace

bool FetchSegment(platform::HttpHandle connection, const UrlParts& url, platform::FileHandle file, ByteRange range,
                  std::atomic<std::uint64_t>* transferredBytes, ProgressCallback progress, std::uint64_t totalSize,
                  const std::atomic<bool>* cancel, const FileVersion& version) {
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
    // A 200 is the whole file, and only the first segment may take it, whole
    // at the size the probe saw: a shorter or longer one is another copy, which
    // would leave its bytes among the other segments'.
    BodyBounds bounds{totalSize, totalSize};
    const bool whole = info.statusCode == 200 && range.first == 0 && ContentLengthAgrees(info, totalSize);
    const bool acceptable = whole || (info.statusCode == 206 && RangeAnswerBounds(info, range, totalSize, bounds));
    if (!acceptable || !SameFileVersion(version, ReadFileVersion(info.rawHeaders))) {
        return false;
    }

    const std::uint64_t expected = whole ? totalSize : range.last >= range.first ? range.last - range.first + 1 : 0;
    return StreamBodyToFile(request.get(), file, range.first, expected, transferredBytes, std::move(progress),
                            totalSize, cancel, bounds);
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
        if (Canceled(context.cancel)) {
            break;
        }
        const std::int32_t index = context.nextSegmentIndex->fetch_add(1);
        if (index < 0 || index >= segmentCount) {
            break;
        }
        const ByteRange range = (*context.segments)[static_cast<std::size_t>(index)];
        if (FetchSegment(connection.get(), context.url, file.get(), range, context.transferredBytes, context.progress,
                         context.totalSize, context.cancel, context.version)) {
            if (context.completedSegments != nullptr) {
                context.completedSegments->fetch_add(1);
            }
        } else {
            context.failedSegments->fetch_add(1);
        }
    }
}

}  // namespace pelbrook
