// A scripted stand-in for platform/http_client.h, for native
// tests. A test states how each request is answered; the stand-in records
// every session, option, connection, request and handle close so that tests
// can check the exact arguments and the keep-alive discipline.
// All functions are safe to call from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace pelbrook::testing {

struct ScriptedResponse {
    bool failSend = false;         // WinHttpSendRequest fails
    bool failReceive = false;      // WinHttpReceiveResponse fails
    bool failStatusQuery = false;  // the status-code query fails
    bool failHeaderQuery = false;  // the raw-header query fails
    std::uint32_t status = 200;
    std::wstring rawHeaders;        // the whole block, status line first, every line ended by CR LF
    std::vector<std::string> body;  // one read delivers at most one piece (less if the reader asks for less)
    bool breakAfterBody = false;    // after the last piece a read fails instead of returning 0 bytes
    std::size_t breakAtPiece = static_cast<std::size_t>(-1);  // the read of this piece fails instead
    bool failHeaderFetch = false;  // the raw-header size query behaves, the fetch into the buffer fails
    // Runs on the reading thread before every read, with the index of the piece about to be read.
    std::function<void(std::size_t pieceIndex)> beforeRead;
};

// Builds a response: "HTTP/1.1 <status> <reason>\r\n", then each header line with CR LF, then CR LF.
ScriptedResponse MakeResponse(std::uint32_t status, const std::vector<std::wstring>& headerLines,
                              std::vector<std::string> body = {});

// One WinHttpQueryHeaders call, as the caller made it.
struct RecordedQuery {
    std::uint32_t infoLevel = 0;
    bool nameNull = true, bufferNull = true, indexNull = true;
    std::uint32_t lengthIn = 0;  // *bufferLength on entry, in bytes
};

struct RecordedRequest {
    int connection = 0;  // id of the connection it was opened on
    int id = 0;
    std::wstring verb;
    std::wstring path;
    std::uint32_t openFlags = 0;
    bool versionNull = true, referrerNull = true, acceptTypesNull = true;
    bool headersNull = true;          // the send passed no header pointer
    std::uint32_t headersLength = 0;  // as passed to the send
    std::wstring headers;             // the header text as sent
    std::thread::id thread;           // thread that sent it
    bool closed = false;
    // What else the send and receive were given; every request of the program is bodiless.
    bool sent = false, received = false;
    bool optionalNull = true;
    std::uint32_t optionalLength = 0, totalLength = 0;
    std::uintptr_t context = 0;
    bool receiveReservedNull = true;
    std::vector<RecordedQuery> queries;
    int reads = 0;  // WinHttpReadData calls
    std::uint64_t bytesDelivered = 0;
};

struct RecordedConnection {
    int id = 0;
    std::wstring host;
    std::uint16_t port = 0;
    std::thread::id thread;  // thread that opened it
    bool closed = false;
};

struct RecordedOption {
    std::uint32_t option = 0;
    std::uint32_t value = 0;
    std::uint32_t length = 0;
};

struct HttpLog {
    int sessionsOpened = 0;
    int sessionsClosed = 0;
    std::wstring userAgent;
    std::uint32_t accessType = 0, openFlags = 0;
    bool proxyNull = true, bypassNull = true;
    std::vector<RecordedOption> options;
    std::vector<RecordedConnection> connections;
    std::vector<RecordedRequest> requests;
    // Every close in order: "session", "connection:<id>", "request:<id>".
    std::vector<std::string> closes;
    int openHandles = 0;      // handles opened and not yet closed
    int connectAttempts = 0;  // WinHttpConnect calls, failed ones included
    // Calls on a null, unknown, closed or earlier script's handle, or of the wrong kind,
    // e.g. "double close request:3"; a sound caller leaves this empty.
    std::vector<std::string> misuses;
};

using Responder = std::function<ScriptedResponse(const RecordedRequest& request)>;

// The responder runs on the sending thread, outside the stand-in's lock, once per
// WinHttpSendRequest; with no responder every send fails.
// Handles are distinct heap objects that stay valid (as closed) for the life of the
// process, so a late call on an old handle is recorded as misuse instead of crashing.
// The last error (HttpLastError) is kept per thread: ErrorInsufficientBuffer after the
// raw-header size query, a WinHTTP error number after any other failure.

// Starts a fresh script: forgets everything recorded and every failure set before.
void ScriptHttp(Responder responder);
void FailSessionOpen(bool fail);
// Called with the 0-based index of each connect in call order; false makes that connect fail.
void SetConnectFilter(std::function<bool(int connectIndex)> allow);
// Called with each request before it is opened; false makes WinHttpOpenRequest fail.
void SetOpenRequestFilter(std::function<bool(const std::wstring& verb)> allow);
HttpLog RecordedHttp();

}  // namespace pelbrook::testing
