#include "engine/server_probe.h"

#include <string>

#include "engine/content_range.h"
#include "engine/download_job.h"
#include "transport/handle_owner.h"
#include "transport/http_request.h"
#include "platform/text_scan.h"

namespace pelbrook {

namespace {

// One request on a fresh connection; both handles are closed before returning.
bool Exchange(platform::HttpHandle session, const UrlParts& url, const wchar_t* verb, const wchar_t* headers,
              ResponseInfo& info) {
    const HttpHandleOwner connection(OpenConnection(session, url));
    if (connection.get() == nullptr) {
        return false;
    }
    const HttpHandleOwner request(OpenRequest(connection.get(), verb, url));
    if (request.get() == nullptr) {
        return false;
    }
    return SendAndReceive(request.get(), info, headers);
}

// An answer that tells the size: the headers, and the version, are the job's from now on.
ProbeResult Answered(const ResponseInfo& info, std::uint64_t totalSize) {
    ProbeResult result;
    result.answered = true;
    result.rawHeaders = info.rawHeaders;
    result.totalSize = totalSize;
    result.version = ReadFileVersion(info.rawHeaders);
    return result;
}

}  // namespace

ProbeResult ProbeServer(platform::HttpHandle session, const UrlParts& url, const std::atomic<bool>* cancel) {
    ResponseInfo head;
    if (Exchange(session, url, L"HEAD", BaseRequestHeaders, head) && head.statusCode == 200) {
        return Answered(head, head.contentLength);
    }
    if (Canceled(cancel)) return {};

    const std::wstring rangedHeaders = std::wstring(BaseRequestHeaders) + L"Range: bytes=0-0";
    ResponseInfo get;
    if (!Exchange(session, url, L"GET", rangedHeaders.c_str(), get)) {
        return {};
    }
    if (get.statusCode == 206) {
        ProbeResult result = Answered(get, ContentRangeTotal(GetHeaderValue(get.rawHeaders, L"Content-Range")));
        result.rangeServed = result.totalSize > 0;
        return result;
    }
    if (get.statusCode == 200) {
        return Answered(get, get.contentLength);
    }
    return {};
}

ModeDecision DecideMode(const ProbeResult& probe, std::int32_t connections) {
    ModeDecision decision;
    // Some servers (nginx) name Accept-Ranges on 200 answers only, so the probe's
    // own 206 is the better proof.
    decision.rangesAccepted =
        probe.rangeServed || EqualsIgnoringAsciiCase(GetHeaderValue(probe.rawHeaders, L"Accept-Ranges"), L"bytes");
    decision.accelerated = decision.rangesAccepted && probe.totalSize > 0 && connections > 1;
    decision.workerCount = connections <= MaxConnections ? connections : MaxConnections;
    if (decision.accelerated) {
        decision.plan = PlanSegments(probe.totalSize, decision.workerCount);
    }
    return decision;
}

std::wstring BuildModeLine(bool accelerated, std::int32_t workerCount, bool rangesAccepted,
                           std::uint32_t segmentCount) {
    if (accelerated) {
        return AcceleratedModePrefix + std::to_wstring(workerCount) + L" workers, " + std::to_wstring(segmentCount) +
               L" segments, keep-alive reuse (HTTP Range).";
    }
    if (workerCount <= 1) {
        return L"Mode: Single connection - Connections is set to 1, so acceleration is disabled.";
    }
    if (!rangesAccepted) {
        return L"Mode: Single connection - server does not support HTTP Range (Accept-Ranges: bytes).";
    }
    return L"Mode: Single connection - server file size unknown or acceleration unavailable.";
}

}  // namespace pelbrook
