#include "support/scripted_http.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/http_client.h"

namespace pelbrook::testing {
namespace {

// WinHTTP error numbers the stand-in leaves as the last error.
constexpr std::uint32_t ErrorCannotConnect = 12029;
constexpr std::uint32_t ErrorConnectionError = 12030;
constexpr std::uint32_t ErrorIncorrectHandleState = 12019;
constexpr std::uint32_t ErrorHeaderNotFound = 12150;
constexpr std::uint32_t ErrorInvalidParameter = 87;
constexpr std::uint32_t ErrorInvalidHandle = 6;

enum class Kind { Session, Connection, Request };

struct Handle {
    Kind kind = Kind::Session;
    int id = 0;
    int generation = 0;
    bool closed = false;
    std::size_t logIndex = 0;  // into HttpLog::connections or HttpLog::requests
    // Request state.
    ScriptedResponse response;
    bool sendOk = false;
    bool receiveOk = false;
    std::size_t piece = 0;
    std::size_t pieceOffset = 0;
    bool broken = false;
};

struct State {
    std::mutex mutex;
    int generation = 0;
    int nextId = 1;
    Responder responder;
    bool failSessionOpen = false;
    std::function<bool(int)> connectFilter;
    std::function<bool(const std::wstring&)> openRequestFilter;
    HttpLog log;
    std::unordered_map<void*, std::unique_ptr<Handle>> handles;  // never erased
};

// Never destroyed: a detached thread may still call in while the process exits.
State& TheState() {
    static State* state = new State;
    return *state;
}

thread_local std::uint32_t lastError = 0;

bool Fail(std::uint32_t error) {
    lastError = error;
    return false;
}

std::string HandleName(const Handle& h) {
    switch (h.kind) {
        case Kind::Session:
            return "session";
        case Kind::Connection:
            return "connection:" + std::to_string(h.id);
        case Kind::Request:
            return "request:" + std::to_string(h.id);
    }
    return "?";
}

// Looks up a live handle of the wanted kind; records misuse otherwise. Caller holds the lock.
Handle* Live(State& s, void* handle, Kind kind, const char* call) {
    if (handle == nullptr) {
        s.log.misuses.push_back(std::string(call) + " on null handle");
        return nullptr;
    }
    auto it = s.handles.find(handle);
    if (it == s.handles.end()) {
        s.log.misuses.push_back(std::string(call) + " on unknown handle");
        return nullptr;
    }
    Handle& h = *it->second;
    if (h.generation != s.generation) {
        s.log.misuses.push_back(std::string(call) + " on handle of an earlier script");
        return nullptr;
    }
    if (h.closed) {
        s.log.misuses.push_back(std::string(call) + " on closed " + HandleName(h));
        return nullptr;
    }
    if (h.kind != kind) {
        s.log.misuses.push_back(std::string(call) + " on " + HandleName(h));
        return nullptr;
    }
    return &h;
}

void* NewHandle(State& s, Kind kind, int id, std::size_t logIndex) {
    auto h = std::make_unique<Handle>();
    h->kind = kind;
    h->id = id;
    h->generation = s.generation;
    h->logIndex = logIndex;
    void* key = h.get();
    s.handles.emplace(key, std::move(h));
    ++s.log.openHandles;
    return key;
}

const char* ReasonPhrase(std::uint32_t status) {
    switch (status) {
        case 200:
            return "OK";
        case 206:
            return "Partial Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 416:
            return "Range Not Satisfiable";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

}  // namespace

ScriptedResponse MakeResponse(std::uint32_t status, const std::vector<std::wstring>& headerLines,
                              std::vector<std::string> body) {
    ScriptedResponse r;
    r.status = status;
    std::wstring block = L"HTTP/1.1 " + std::to_wstring(status) + L" ";
    for (const char* p = ReasonPhrase(status); *p != '\0'; ++p) block += static_cast<wchar_t>(*p);
    block += L"\r\n";
    for (const std::wstring& line : headerLines) block += line + L"\r\n";
    block += L"\r\n";
    r.rawHeaders = std::move(block);
    r.body = std::move(body);
    return r;
}

void ScriptHttp(Responder responder) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.generation;
    s.nextId = 1;
    s.responder = std::move(responder);
    s.failSessionOpen = false;
    s.connectFilter = nullptr;
    s.openRequestFilter = nullptr;
    s.log = HttpLog{};
}

void FailSessionOpen(bool fail) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.failSessionOpen = fail;
}

void SetConnectFilter(std::function<bool(int connectIndex)> allow) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.connectFilter = std::move(allow);
}

void SetOpenRequestFilter(std::function<bool(const std::wstring& verb)> allow) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.openRequestFilter = std::move(allow);
}

HttpLog RecordedHttp() {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.log;
}

}  // namespace pelbrook::testing

namespace pelbrook::platform {

using testing::Fail;
using testing::Handle;
using testing::Kind;
using testing::Live;
using testing::State;
using testing::TheState;

HttpHandle HttpOpen(const wchar_t* userAgent, std::uint32_t accessType, const wchar_t* proxyName,
                    const wchar_t* proxyBypass, std::uint32_t flags) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.log.sessionsOpened;
    s.log.userAgent = userAgent != nullptr ? userAgent : L"";
    s.log.accessType = accessType;
    s.log.proxyNull = proxyName == nullptr;
    s.log.bypassNull = proxyBypass == nullptr;
    s.log.openFlags = flags;
    if (s.failSessionOpen) {
        Fail(testing::ErrorInvalidParameter);
        return nullptr;
    }
    return testing::NewHandle(s, Kind::Session, 0, 0);
}

bool HttpSetOption(HttpHandle handle, std::uint32_t option, const void* buffer, std::uint32_t length) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (Live(s, handle, Kind::Session, "WinHttpSetOption") == nullptr) return Fail(testing::ErrorInvalidHandle);
    testing::RecordedOption recorded;
    recorded.option = option;
    recorded.length = length;
    if (buffer != nullptr && length == sizeof(std::uint32_t))
        std::memcpy(&recorded.value, buffer, sizeof(std::uint32_t));
    s.log.options.push_back(recorded);
    return true;
}

HttpHandle HttpConnect(HttpHandle session, const wchar_t* serverName, std::uint16_t port, std::uint32_t reserved) {
    State& s = TheState();
    std::function<bool(int)> filter;
    int index = 0;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        index = s.log.connectAttempts++;
        if (Live(s, session, Kind::Session, "WinHttpConnect") == nullptr) {
            Fail(testing::ErrorInvalidHandle);
            return nullptr;
        }
        if (reserved != 0) s.log.misuses.push_back("WinHttpConnect with non-zero reserved");
        filter = s.connectFilter;
    }
    if (filter && !filter(index)) {
        Fail(testing::ErrorCannotConnect);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    testing::RecordedConnection recorded;
    recorded.id = s.nextId++;
    recorded.host = serverName != nullptr ? serverName : L"";
    recorded.port = port;
    recorded.thread = std::this_thread::get_id();
    s.log.connections.push_back(recorded);
    return testing::NewHandle(s, Kind::Connection, recorded.id, s.log.connections.size() - 1);
}

HttpHandle HttpOpenRequest(HttpHandle connection, const wchar_t* verb, const wchar_t* objectName,
                           const wchar_t* version, const wchar_t* referrer, const wchar_t* const* acceptTypes,
                           std::uint32_t flags) {
    State& s = TheState();
    std::function<bool(const std::wstring&)> filter;
    int connectionId = 0;
    const std::wstring verbText = verb != nullptr ? verb : L"";
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        Handle* c = Live(s, connection, Kind::Connection, "WinHttpOpenRequest");
        if (c == nullptr) {
            Fail(testing::ErrorInvalidHandle);
            return nullptr;
        }
        connectionId = c->id;
        filter = s.openRequestFilter;
    }
    if (filter && !filter(verbText)) {
        Fail(testing::ErrorInvalidParameter);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    testing::RecordedRequest recorded;
    recorded.connection = connectionId;
    recorded.id = s.nextId++;
    recorded.verb = verbText;
    recorded.path = objectName != nullptr ? objectName : L"";
    recorded.openFlags = flags;
    recorded.versionNull = version == nullptr;
    recorded.referrerNull = referrer == nullptr;
    recorded.acceptTypesNull = acceptTypes == nullptr;
    s.log.requests.push_back(recorded);
    return testing::NewHandle(s, Kind::Request, recorded.id, s.log.requests.size() - 1);
}

bool HttpSendRequest(HttpHandle request, const wchar_t* headers, std::uint32_t headersLength, const void* optional,
                     std::uint32_t optionalLength, std::uint32_t totalLength, std::uintptr_t context) {
    State& s = TheState();
    testing::RecordedRequest snapshot;
    testing::Responder responder;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        Handle* h = Live(s, request, Kind::Request, "WinHttpSendRequest");
        if (h == nullptr) return Fail(testing::ErrorInvalidHandle);
        testing::RecordedRequest& r = s.log.requests[h->logIndex];
        if (r.sent) s.log.misuses.push_back("second send on " + testing::HandleName(*h));
        r.sent = true;
        r.headersNull = headers == nullptr;
        r.headersLength = headersLength;
        if (headers != nullptr) {
            r.headers = headersLength == 0xFFFFFFFFu ? std::wstring(headers) : std::wstring(headers, headersLength);
        }
        r.optionalNull = optional == nullptr;
        r.optionalLength = optionalLength;
        r.totalLength = totalLength;
        r.context = context;
        r.thread = std::this_thread::get_id();
        snapshot = r;
        responder = s.responder;
    }
    testing::ScriptedResponse response;
    if (responder) {
        response = responder(snapshot);
    } else {
        response.failSend = true;
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    Handle* h = Live(s, request, Kind::Request, "WinHttpSendRequest");
    if (h == nullptr) return Fail(testing::ErrorInvalidHandle);
    h->sendOk = !response.failSend;
    h->response = std::move(response);
    if (!h->sendOk) return Fail(testing::ErrorCannotConnect);
    return true;
}

bool HttpReceiveResponse(HttpHandle request, void* reserved) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    Handle* h = Live(s, request, Kind::Request, "WinHttpReceiveResponse");
    if (h == nullptr) return Fail(testing::ErrorInvalidHandle);
    testing::RecordedRequest& r = s.log.requests[h->logIndex];
    r.received = true;
    r.receiveReservedNull = reserved == nullptr;
    if (!h->sendOk) return Fail(testing::ErrorIncorrectHandleState);
    if (h->response.failReceive) return Fail(testing::ErrorConnectionError);
    h->receiveOk = true;
    return true;
}

bool HttpQueryHeaders(HttpHandle request, std::uint32_t infoLevel, const wchar_t* name, void* buffer,
                      std::uint32_t* bufferLength, std::uint32_t* index) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    Handle* h = Live(s, request, Kind::Request, "WinHttpQueryHeaders");
    if (h == nullptr) return Fail(testing::ErrorInvalidHandle);
    testing::RecordedQuery query;
    query.infoLevel = infoLevel;
    query.nameNull = name == nullptr;
    query.bufferNull = buffer == nullptr;
    query.indexNull = index == nullptr;
    query.lengthIn = bufferLength != nullptr ? *bufferLength : 0;
    s.log.requests[h->logIndex].queries.push_back(query);
    if (!h->receiveOk) return Fail(testing::ErrorIncorrectHandleState);
    if (bufferLength == nullptr) return Fail(testing::ErrorInvalidParameter);
    const testing::ScriptedResponse& response = h->response;

    if (infoLevel == (QueryStatusCode | QueryFlagNumber)) {
        if (response.failStatusQuery) return Fail(testing::ErrorHeaderNotFound);
        if (buffer == nullptr || *bufferLength < sizeof(std::uint32_t)) {
            *bufferLength = sizeof(std::uint32_t);
            return Fail(platform::ErrorInsufficientBuffer);
        }
        std::memcpy(buffer, &response.status, sizeof(std::uint32_t));
        *bufferLength = sizeof(std::uint32_t);
        return true;
    }
    if (infoLevel == QueryRawHeadersCrlf) {
        if (response.failHeaderQuery) return Fail(testing::ErrorHeaderNotFound);
        // Like WinHTTP: the size asked for counts the terminating NUL, the size
        // reported after a successful copy does not.
        const std::size_t needed = (response.rawHeaders.size() + 1) * sizeof(wchar_t);
        if (buffer == nullptr || *bufferLength < needed) {
            *bufferLength = static_cast<std::uint32_t>(needed);
            return Fail(platform::ErrorInsufficientBuffer);
        }
        if (response.failHeaderFetch) return Fail(testing::ErrorHeaderNotFound);
        std::memcpy(buffer, response.rawHeaders.c_str(), needed);
        *bufferLength = static_cast<std::uint32_t>(needed - sizeof(wchar_t));
        return true;
    }
    return Fail(testing::ErrorHeaderNotFound);
}

bool HttpReadData(HttpHandle request, void* buffer, std::uint32_t bytesToRead, std::uint32_t* bytesRead) {
    State& s = TheState();
    std::function<void(std::size_t)> beforeRead;
    std::size_t piece = 0;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        Handle* h = Live(s, request, Kind::Request, "WinHttpReadData");
        if (h == nullptr) return Fail(testing::ErrorInvalidHandle);
        ++s.log.requests[h->logIndex].reads;
        if (!h->receiveOk) return Fail(testing::ErrorIncorrectHandleState);
        beforeRead = h->response.beforeRead;
        piece = h->piece;
    }
    // Outside the lock: tests use this hook as a barrier between reading threads.
    if (beforeRead) beforeRead(piece);

    std::lock_guard<std::mutex> lock(s.mutex);
    Handle* h = Live(s, request, Kind::Request, "WinHttpReadData");
    if (h == nullptr) return Fail(testing::ErrorInvalidHandle);
    if (bytesRead != nullptr) *bytesRead = 0;
    const testing::ScriptedResponse& response = h->response;
    if (h->broken) return Fail(testing::ErrorConnectionError);
    if (h->piece == response.breakAtPiece) {
        h->broken = true;
        return Fail(testing::ErrorConnectionError);
    }
    // Empty pieces are skipped: a read of 0 bytes means the end of the body.
    while (h->piece < response.body.size() && h->pieceOffset >= response.body[h->piece].size()) {
        ++h->piece;
        h->pieceOffset = 0;
        if (h->piece == response.breakAtPiece) {
            h->broken = true;
            return Fail(testing::ErrorConnectionError);
        }
    }
    if (h->piece >= response.body.size()) {
        if (response.breakAfterBody) {
            h->broken = true;
            return Fail(testing::ErrorConnectionError);
        }
        return true;
    }
    if (buffer == nullptr || bytesRead == nullptr) return Fail(testing::ErrorInvalidParameter);
    const std::string& data = response.body[h->piece];
    const std::size_t count = std::min<std::size_t>(bytesToRead, data.size() - h->pieceOffset);
    std::memcpy(buffer, data.data() + h->pieceOffset, count);
    h->pieceOffset += count;
    if (h->pieceOffset == data.size()) {
        ++h->piece;
        h->pieceOffset = 0;
    }
    *bytesRead = static_cast<std::uint32_t>(count);
    s.log.requests[h->logIndex].bytesDelivered += count;
    return true;
}

bool HttpCloseHandle(HttpHandle handle) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (handle == nullptr) {
        s.log.misuses.push_back("close of null handle");
        return Fail(testing::ErrorInvalidHandle);
    }
    auto it = s.handles.find(handle);
    if (it == s.handles.end()) {
        s.log.misuses.push_back("close of unknown handle");
        return Fail(testing::ErrorInvalidHandle);
    }
    Handle& h = *it->second;
    if (h.generation != s.generation) {
        s.log.misuses.push_back("close of handle of an earlier script");
        return Fail(testing::ErrorInvalidHandle);
    }
    if (h.closed) {
        s.log.misuses.push_back("double close " + testing::HandleName(h));
        return Fail(testing::ErrorInvalidHandle);
    }
    h.closed = true;
    --s.log.openHandles;
    s.log.closes.push_back(testing::HandleName(h));
    switch (h.kind) {
        case Kind::Session:
            ++s.log.sessionsClosed;
            break;
        case Kind::Connection:
            s.log.connections[h.logIndex].closed = true;
            break;
        case Kind::Request:
            s.log.requests[h.logIndex].closed = true;
            break;
    }
    return true;
}

std::uint32_t HttpLastError() { return testing::lastError; }

}  // namespace pelbrook::platform
