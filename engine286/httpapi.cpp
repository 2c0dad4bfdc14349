// HTTPapi: HTTP/1.1 over an accepted socket. Reads the request head and a
// POST body (url-encoded or multipart with files streamed to disk), serves
// static web files from the program folder, dispatches page requests and
// sends their replies with a computed Content-Length.

#include <fcntl.h>
#include <poll.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <strings.h>

#include "engine286/wwwapi.h"

namespace {

constexpr size_t maxServedFileSize = 0x40000000;
constexpr size_t maxBoundaryLength = 200;

int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Whether bytes (or the end of the stream) can be read without waiting.
bool inputReady(int fd)
{
    pollfd ready{fd, POLLIN, 0};
    return ::poll(&ready, 1, 0) != 0;
}

// Milliseconds left until `deadline`, or WAIT_FOREVER without a time-out.
int timeLeft(int timeoutMs, int64_t start)
{
    if (timeoutMs < 0) return socket_t::WAIT_FOREVER;
    int64_t left = start + timeoutMs - nowMs();
    return left > 0 ? int(std::min<int64_t>(left, INT_MAX)) : 0;
}

bool startsWithNoCase(const char* text, size_t length, const char* prefix)
{
    size_t n = std::strlen(prefix);
    return length >= n && strncasecmp(text, prefix, n) == 0;
}

bool equalsNoCase(const char* text, size_t length, const char* word)
{
    return length == std::strlen(word) && strncasecmp(text, word, length) == 0;
}

// Finds `word` in [text, text + length) regardless of letter case.
const char* findNoCase(const char* text, size_t length, const char* word)
{
    size_t n = std::strlen(word);
    for (size_t i = 0; i + n <= length; i++) {
        if (strncasecmp(text + i, word, n) == 0) return text + i;
    }
    return nullptr;
}

int hexValue(char c)
{
    signed char s = static_cast<signed char>(c);
    if (s >= 'a') return s - 87;
    if (s >= 'A') return s - 55;
    return s - 48;
}

// Decodes a request path: '+' is a space and %XX one byte.
std::string decodePath(const char* p, size_t length)
{
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; i++) {
        char c = p[i];
        if (c == '+') {
            c = ' ';
        } else if (c == '%' && length - i > 2) {
            c = char(((hexValue(p[i + 1]) << 4) | hexValue(p[i + 2])) & 0xFF);
            i += 2;
        }
        out.push_back(c);
    }
    return out;
}

// Reads the name and filename parameters of a Content-Disposition value.
void parseDisposition(const char* p, const char* end, std::string& name, bool& hasName,
                      std::string& fileName, bool& hasFileName)
{
    while (p < end && *p != ';') p++;  // the disposition type
    while (p < end) {
        p++;  // ';'
        while (p < end && (*p == ' ' || *p == '\t')) p++;
        const char* key = p;
        while (p < end && *p != '=' && *p != ';') p++;
        const char* keyEnd = p;
        while (keyEnd > key && (keyEnd[-1] == ' ' || keyEnd[-1] == '\t')) keyEnd--;
        std::string value;
        if (p < end && *p == '=') {
            p++;
            while (p < end && (*p == ' ' || *p == '\t')) p++;
            if (p < end && *p == '"') {
                const char* v = ++p;
                while (p < end && *p != '"') p++;
                value.assign(v, p);
                if (p < end) p++;
            } else {
                const char* v = p;
                while (p < end && *p != ';') p++;
                const char* ve = p;
                while (ve > v && (ve[-1] == ' ' || ve[-1] == '\t')) ve--;
                value.assign(v, ve);
            }
        }
        if (equalsNoCase(key, size_t(keyEnd - key), "name")) {
            name = value;
            hasName = true;
        } else if (equalsNoCase(key, size_t(keyEnd - key), "filename")) {
            fileName = value;
            hasFileName = true;
        }
        while (p < end && *p != ';') p++;
    }
}

// The boundary parameter of a multipart Content-Type, or empty.
std::string boundaryOf(const char* type, size_t length)
{
    const char* b = findNoCase(type, length, "boundary=");
    if (b == nullptr) return {};
    const char* p = b + 9;
    const char* end = type + length;
    const char* v = p;
    if (p < end && *p == '"') {
        v = ++p;
        while (p < end && *p != '"') p++;
    } else {
        while (p < end && *p != ';' && *p != ' ' && *p != '\t') p++;
    }
    if (p == v || size_t(p - v) > maxBoundaryLength) return {};
    return std::string(v, p);
}

}  // namespace

// What one request owns: the body buffer and the copies the variables point
// into, and the uploaded files, removed when the request ends unless a page
// has moved them away.
struct HTTPapi::Request {
    struct Upload {
        std::string path;
        dev_t device;
        ino_t inode;
    };
    std::unique_ptr<char[]> body;
    std::deque<std::string> copies;
    size_t copiedBytes = 0;
    std::vector<Upload> uploads;

    ~Request() { removeUploads(); }
    // Removes the uploaded files that are still where they were written.
    void removeUploads()
    {
        for (const Upload& u : uploads) {
            struct stat st;
            if (::lstat(u.path.c_str(), &st) == 0 && st.st_dev == u.device && st.st_ino == u.inode) {
                ::unlink(u.path.c_str());
            }
        }
        uploads.clear();
    }
    char* copy(const char* data, size_t length)
    {
        copies.emplace_back(data, length);
        copiedBytes += length + 1;
        return copies.back().data();
    }
};

HTTPapi::HTTPapi(dbDatabase* database, int nPages, const WWWpage* pages, bool keepAliveOn, int readTimeoutMs)
    : WWWapi(database, nPages, pages), readTimeout(readTimeoutMs), keepAlive(keepAliveOn)
{
    setProgramFolder(".");
    const char* tmp = std::getenv("TMPDIR");
    uploadBase = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

HTTPapi::~HTTPapi()
{
    if (rootFd >= 0) ::close(rootFd);
    if (!uploadFolder.empty()) ::rmdir(uploadFolder.c_str());
}

void HTTPapi::setProgramFolder(const std::string& folder)
{
    char* real = ::realpath(folder.empty() ? "." : folder.c_str(), nullptr);
    programFolder = real != nullptr ? real : folder;
    std::free(real);
    while (programFolder.size() > 1 && programFolder.back() == '/') programFolder.pop_back();
    if (rootFd >= 0) ::close(rootFd);
    rootFd = ::open(programFolder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

void HTTPapi::setUploadFolder(const std::string& folder)
{
    std::lock_guard<std::mutex> guard(uploadFolderMutex);
    if (!uploadFolder.empty()) ::rmdir(uploadFolder.c_str());
    uploadFolder.clear();
    uploadBase = folder;
}

std::string HTTPapi::privateUploadFolder()
{
    std::lock_guard<std::mutex> guard(uploadFolderMutex);
    if (uploadFolder.empty()) {
        std::string pattern = uploadBase + "/tarnwicke-upload-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        // mkdtemp creates the folder readable by this user only.
        if (::mkdtemp(name.data()) != nullptr) uploadFolder = name.data();
    }
    return uploadFolder;
}

const char* HTTPapi::contentTypeOf(const std::string& fileName)
{
    size_t slash = fileName.rfind('/');
    size_t dot = fileName.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return nullptr;
    std::string ext = fileName.substr(dot + 1);
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    static const struct {
        const char* ext;
        const char* type;
    } types[] = {
        {"htm", "text/html; charset=utf-8"},
        {"html", "text/html; charset=utf-8"},
        {"css", "text/css"},
        {"js", "application/javascript"},
        {"png", "image/png"},
        {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},
        {"gif", "image/gif"},
        {"ico", "image/x-icon"},
        {"svg", "image/svg+xml"},
        {"txt", "text/plain; charset=utf-8"},
    };
    for (const auto& t : types) {
        if (ext == t.ext) return t.type;
    }
    return nullptr;
}

int HTTPapi::openServable(const std::string& path, const char*& contentType)
{
    if (path.empty() || path[0] == '/' || path.find('\0') != std::string::npos
        || path.find("..") != std::string::npos) {
        return -1;
    }
    // No hidden files or folders.
    for (size_t i = 0; i < path.size(); i++) {
        if (path[i] == '.' && (i == 0 || path[i - 1] == '/')) return -1;
    }
    contentType = contentTypeOf(path);
    if (contentType == nullptr) return -1;
    // Non-blocking, so that a pipe under a web file's name cannot hold a
    // worker; regular files read as usual.
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    if (rootFd >= 0) {
        // One call that refuses anything outside the folder and any link.
        open_how how{};
        how.flags = flags;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        int fd = int(::syscall(SYS_openat2, rootFd, path.c_str(), &how, sizeof how));
        if (fd >= 0 || (errno != ELOOP && errno != ENOSYS && errno != EXDEV)) return fd;
    }
    // A link on the way: it may be followed as long as it stays inside the
    // folder and leads to a web file.
    std::string full = programFolder + "/" + path;
    char* real = ::realpath(full.c_str(), nullptr);
    if (real == nullptr) return -1;
    std::string resolved = real;
    std::free(real);
    std::string inside = programFolder == "/" ? "/" : programFolder + "/";
    if (resolved.compare(0, inside.size(), inside) != 0) return -1;
    contentType = contentTypeOf(resolved);
    if (contentType == nullptr) return -1;
    return ::open(resolved.c_str(), flags);
}

void HTTPapi::closeConnection(WWWconnection& con, bool unreadInput)
{
    if (con.socket == nullptr) return;
    if (unreadInput) {
        // Take what the client sent and nobody read, so that closing does
        // not reset the connection before the client has read the reply.
        char scratch[4096];
        for (int i = 0; i < 64; i++) {
            if (con.socket->read(scratch, 1, sizeof scratch, 0) <= 0) break;
        }
    }
    con.socket->shutdown();
    con.socket->close();
    delete con.socket;
    con.socket = nullptr;
}

void HTTPapi::sendError(WWWconnection& con, const char* status)
{
    if (con.socket != nullptr) {
        char text[512];
        int n = std::snprintf(text, sizeof text,
                              "HTTP/1.1 %s\r\nConnection: close\r\n\r\n"
                              "<HTML><HEAD><TITLE>Invalid request to the database</TITLE>\r\n"
                              "</HEAD><BODY>\n\r<H1>%s</H1>\n\r</BODY></HTML>\r\n\r\n",
                              status, status);
        con.socket->write(text, size_t(n));
    }
    closeConnection(con, true);
}

bool HTTPapi::handleRequest(WWWconnection& con, char* query, char* end)
{
    return handleRequest(con, query, end, nullptr);
}

bool HTTPapi::handleRequest(WWWconnection& con, char* query, char* end, Request* req)
{
    con.utf8 = utf8;
    // A form posts back to the address of the page that showed it, query
    // string included (action=''); its own fields, read from the body
    // first, must win over that query string, or the form would only ever
    // reach the page that showed it.
    char* page = con.parseVariables(query, size_t(end - query), req != nullptr);
    if (page == nullptr) {
        sendError(con, "406 Not Acceptable");
        return false;
    }
    // Room for the status line and the Content-Length line of any length;
    // the exact text is written at the end of this area once the body's
    // length is known, and sending starts where it begins.
    static constexpr char statusLine[] = "HTTP/1.1 200 OK\r\nContent-Length: ";
    constexpr size_t prefixSize = sizeof statusLine - 1 + 10 + 2;
    char* r = con.reserve(prefixSize);
    std::memset(r, ' ', prefixSize - 2);
    r[prefixSize - 2] = '\r';
    r[prefixSize - 1] = '\n';
    const char* connection = con.keepAliveReply ? "Connection: Keep-Alive\r\n" : "Connection: close\r\n";
    con.appendBytes(connection, std::strlen(connection));
    size_t pageStart = con.replyLength;

    dispatch(con, page);
    // The page is done with the uploaded files it has not taken over.
    if (req != nullptr) req->removeUploads();

    // The end of the header block: the first LF followed by LF or CR.
    const char* reply = con.reply;
    size_t length = con.replyLength;
    size_t bodyStart = 0;
    if (length >= pageStart) {
        for (size_t i = prefixSize - 1; i + 1 < length; i++) {
            if (reply[i] == '\n' && (reply[i + 1] == '\n' || reply[i + 1] == '\r')) {
                bodyStart = reply[i + 1] == '\n' ? i + 2 : i + 3;
                break;
            }
        }
    }
    if (bodyStart == 0 || con.socket == nullptr) {
        con.reset();
        sendError(con, "404 Not found");
        return false;
    }
    if (bodyStart > length) bodyStart = length;
    char status[64];
    int n = std::snprintf(status, sizeof status, "HTTP/1.1 200 OK\r\nContent-Length: %u\r\n",
                          unsigned(length - bodyStart));
    size_t offset = prefixSize - size_t(n);
    std::memcpy(con.reply + offset, status, size_t(n));
    bool sent = con.socket->write(con.reply + offset, length - offset);
    return sent && con.keepAliveReply;
}

bool HTTPapi::serveFile(WWWconnection& con, const char* target, size_t targetLength, bool& keepOpen)
{
    std::string path = targetLength == 0 ? std::string("index.html") : decodePath(target, targetLength);
    const char* contentType = nullptr;
    int fd = openServable(path, contentType);
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {
        // Not a file that is served: the login page answers.
        char query[] = "page=";
        keepOpen = handleRequest(con, query, query + 5);
        return true;
    }
    size_t size = size_t(st.st_size);
    con.reset();
    char header[256];
    int n = std::snprintf(header, sizeof header,
                          "HTTP/1.1 200 OK\r\nContent-Length: %zu\r\nContent-Type: %s\r\nConnection: %s\r\n\r\n",
                          size, contentType, con.keepAliveReply ? "Keep-Alive" : "close");
    con.appendBytes(header, size_t(n));
    uint32_t at = con.replyLength;
    char* data = nullptr;
    if (size <= maxServedFileSize) {
        try {
            data = con.reserve(size) + at;
        } catch (const std::bad_alloc&) {
            data = nullptr;
        }
    }
    if (data == nullptr) {
        ::close(fd);
        con.reset();
        sendError(con, "413 Request Entity Too Large");
        keepOpen = false;
        return false;
    }
    size_t got = 0;
    while (got < size) {
        ssize_t r = ::read(fd, data + got, size - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += size_t(r);
    }
    ::close(fd);
    if (got < size) {
        con.reset();
        sendError(con, "500 Internal server error");
        keepOpen = false;
        return false;
    }
    bool sent = con.socket->write(con.reply, con.replyLength);
    keepOpen = sent && con.keepAliveReply;
    return sent;
}

bool HTTPapi::fillBody(WWWconnection& con, char* buffer, size_t& used, size_t capacity, size_t& remaining,
                       BodyResult& result)
{
    if (remaining == 0 || used >= capacity) return false;
    size_t want = std::min(remaining, capacity - used);
    int n = con.socket->read(buffer + used, 1, want, readTimeout);
    if (n < 0) {
        char text[64];
        con.socket->errorText(text, sizeof text);
        std::fprintf(stderr, "HTTPapi::readBody: Socket error: %s\n", text);
        result = BodyResult::closed;
        return false;
    }
    if (n == 0) {
        result = BodyResult::timedOut;
        return false;
    }
    used += size_t(n);
    remaining -= size_t(n);
    return true;
}

HTTPapi::BodyResult HTTPapi::readBody(WWWconnection& con, Request& req, char* head, size_t headEnd, size_t used,
                                      size_t length, const char* type, size_t typeLength, size_t& consumed)
{
    size_t inHead = std::min(used - headEnd, length);
    consumed = inHead;
    if (length > maxBodyLength) return BodyResult::tooLarge;
    BodyResult result = BodyResult::ok;

    if (startsWithNoCase(type, typeLength, "multipart/form-data")) {
        std::string boundary = boundaryOf(type, typeLength);
        // The buffer holds at least what came with the head.
        size_t capacity = std::max(bodyBuffer, inHead + 2);
        req.body.reset(new char[capacity + 1]);
        char* buffer = req.body.get();
        // A line break in front lets the first boundary match like the others.
        buffer[0] = '\r';
        buffer[1] = '\n';
        std::memcpy(buffer + 2, head + headEnd, inHead);
        size_t remaining = length - inHead;
        if (boundary.empty()) {
            // Nothing to parse: take the body off the connection.
            size_t have = 0;
            while (remaining > 0 && result == BodyResult::ok) {
                have = 0;
                fillBody(con, buffer, have, capacity, remaining, result);
            }
            return result;
        }
        return readMultipart(con, req, buffer, capacity, inHead + 2, remaining, boundary);
    }

    // url-encoded and any other type: the whole body is parsed at once.
    if (length >= bodyBuffer) return BodyResult::tooLarge;
    req.body.reset(new char[length + 1]);
    char* buffer = req.body.get();
    std::memcpy(buffer, head + headEnd, inHead);
    size_t have = inHead;
    size_t remaining = length - inHead;
    while (remaining > 0) {
        if (!fillBody(con, buffer, have, length, remaining, result)) return result;
    }
    buffer[length] = '\0';
    if (startsWithNoCase(type, typeLength, "binary/octet-stream")) {
        // The last byte of such a body is its terminator.
        if (length > 0) {
            buffer[length - 1] = '\0';
            con.parseVariables(buffer, length - 1);
        }
    } else {
        con.parseVariables(buffer, length);
    }
    return BodyResult::ok;
}

HTTPapi::BodyResult HTTPapi::readMultipart(WWWconnection& con, Request& req, char* buffer, size_t capacity,
                                           size_t used, size_t remaining, const std::string& boundary)
{
    const std::string delimiter = "\r\n--" + boundary;
    const size_t dl = delimiter.size();
    size_t pos = 0;  // start of the bytes not yet processed
    BodyResult result = BodyResult::ok;

    // Moves the unprocessed bytes to the buffer's start and reads more.
    auto fill = [&]() -> bool {
        if (pos > 0) {
            std::memmove(buffer, buffer + pos, used - pos);
            used -= pos;
            pos = 0;
        }
        return fillBody(con, buffer, used, capacity, remaining, result);
    };
    // Finds `what` at or after pos + from, reading more as needed. Returns
    // its offset from pos, or npos when the body ends first (or the buffer
    // is full).
    auto find = [&](const char* what, size_t whatLength, size_t from) -> size_t {
        for (;;) {
            if (used - pos >= from + whatLength) {
                const void* p = ::memmem(buffer + pos + from, used - pos - from, what, whatLength);
                if (p != nullptr) return size_t(static_cast<const char*>(p) - (buffer + pos));
                from = used - pos - (whatLength - 1);
            }
            if (!fill()) return std::string::npos;
        }
    };

    size_t first = find(delimiter.data(), dl, 0);
    if (first != std::string::npos) {
        pos += first + dl;
        for (;;) {
            // After a delimiter: "--" closes the body, else the part's line ends.
            while (used - pos < 2) {
                if (!fill()) goto finish;
            }
            if (buffer[pos] == '-' && buffer[pos + 1] == '-') break;
            size_t lineEnd = find("\r\n", 2, 0);
            if (lineEnd == std::string::npos) break;
            size_t headEnd = find("\r\n\r\n", 4, lineEnd);
            if (headEnd == std::string::npos) break;

            std::string name, fileName;
            bool hasName = false, hasFileName = false;
            const char* h = buffer + pos + lineEnd + 2;
            const char* hEnd = buffer + pos + headEnd;
            while (h < hEnd) {
                const char* e = static_cast<const char*>(::memmem(h, size_t(hEnd - h), "\r\n", 2));
                if (e == nullptr) e = hEnd;
                const char* colon = static_cast<const char*>(std::memchr(h, ':', size_t(e - h)));
                if (colon != nullptr && equalsNoCase(h, size_t(colon - h), "content-disposition")) {
                    parseDisposition(colon + 1, e, name, hasName, fileName, hasFileName);
                }
                h = e + 2;
            }
            pos += headEnd + 4;

            enum { discard, field, file } kind = discard;
            int fd = -1;
            std::string path;
            if (hasName && hasFileName) {
                if (!fileName.empty() && int(req.uploads.size()) < maxUploadedFiles) {
                    std::string folder = privateUploadFolder();
                    if (folder.empty()) goto finish;
                    path = folder + "/upload-XXXXXX";
                    fd = ::mkostemp(path.data(), O_CLOEXEC);
                    if (fd < 0) goto finish;
                    struct stat st;
                    ::fstat(fd, &st);
                    req.uploads.push_back({path, st.st_dev, st.st_ino});
                    kind = file;
                }
            } else if (hasName) {
                kind = field;
            }

            std::string value;
            bool complete = false;
            bool failed = false;
            for (;;) {
                const void* p = ::memmem(buffer + pos, used - pos, delimiter.data(), dl);
                size_t chunkEnd = p != nullptr ? size_t(static_cast<const char*>(p) - buffer)
                                  : used - pos >= dl ? used - (dl - 1)
                                                     : pos;
                size_t n = chunkEnd - pos;
                if (kind == file && !failed) {
                    const char* d = buffer + pos;
                    while (n > 0) {
                        ssize_t w = ::write(fd, d, n);
                        if (w < 0 && errno == EINTR) continue;
                        if (w <= 0) {
                            failed = true;
                            break;
                        }
                        d += w;
                        n -= size_t(w);
                    }
                } else if (kind == field) {
                    // Field values together stay within one body buffer.
                    size_t room = bodyBuffer > req.copiedBytes + value.size()
                                      ? bodyBuffer - req.copiedBytes - value.size()
                                      : 0;
                    value.append(buffer + pos, std::min(n, room));
                }
                pos = chunkEnd;
                if (p != nullptr) {
                    pos += dl;
                    complete = true;
                    break;
                }
                if (!fill()) break;
            }
            if (kind == file) {
                ::close(fd);
                if (failed) goto finish;
                con.addVariable(req.copy(name.data(), name.size()), req.copy(path.data(), path.size()));
            } else if (kind == field && req.copiedBytes + name.size() + value.size() + 2 <= bodyBuffer) {
                char* n = req.copy(name.data(), name.size());
                con.addVariable(n, req.copy(value.data(), value.size()));
            }
            if (!complete) break;
        }
    }
finish:
    // Take the rest of the body off the connection.
    while (remaining > 0 && result == BodyResult::ok) {
        pos = used;
        fill();
    }
    return result;
}

void HTTPapi::waitForMore(WWWconnection& con, size_t used, bool firstRequest, int64_t started)
{
    con.headUsed = used;
    con.laterRequest = !firstRequest;
    con.acceptTime = started;
    con.waitingForInput = true;
}

HTTPapi::Gathered HTTPapi::gatherBody(WWWconnection& con, char* buffer, size_t& used, size_t end, int64_t started)
{
    while (used < end) {
        int wait = timeLeft(readTimeout, started);
        if (wait != 0 && !inputReady(con.socket->socketHandle())) return Gathered::waiting;
        int n = con.socket->read(buffer + used, 1, end - used, wait);
        if (n < 0) return Gathered::closed;
        if (n == 0) return Gathered::timedOut;
        used += size_t(n);
        buffer[used] = '\0';
    }
    return Gathered::complete;
}

bool HTTPapi::serve(WWWconnection& con)
{
    if (con.socket == nullptr) return true;
    // A connection comes back here with the part of a request it sent so far.
    if (con.head == nullptr) {
        con.setPeer(con.socket->peerName());
        con.head.reset(new char[headBufferSize + 1]);
        con.headUsed = 0;
        con.laterRequest = false;
    }
    con.waitingForInput = false;
    // The buffer is dropped when serving ends, unless the connection is
    // handed back to the queue to wait for more of the request.
    struct HeadRelease {
        WWWconnection& con;
        ~HeadRelease()
        {
            if (!con.waitingForInput) con.forgetHead();
        }
    } headRelease{con};
    char* head = con.head.get();
    size_t used = con.headUsed;
    int64_t started = con.acceptTime != 0 ? con.acceptTime : nowMs();
    bool firstRequest = !con.laterRequest;

    for (;;) {
        con.reset();
        Request req;

        // Gather the head, up to and including the blank line.
        size_t headEnd = 0;
        size_t scanned = 0;
        for (;;) {
            size_t from = scanned >= 3 ? scanned - 3 : 0;
            const void* blank = used > from ? ::memmem(head + from, used - from, "\r\n\r\n", 4) : nullptr;
            if (blank != nullptr) {
                headEnd = size_t(static_cast<const char*>(blank) - head) + 4;
                break;
            }
            scanned = used;
            if (used >= headBufferSize) {
                sendError(con, "400 Bad Request");
                return true;
            }
            int wait = timeLeft(readTimeout, started);
            if (con.mayPark && wait != 0 && !inputReady(con.socket->socketHandle())) {
                waitForMore(con, used, firstRequest, started);
                return true;
            }
            int n = con.socket->read(head + used, 1, headBufferSize - used, wait);
            if (n < 0) {
                closeConnection(con);
                return true;
            }
            if (n == 0) {
                if (!firstRequest && used == 0) {
                    closeConnection(con);  // an idle kept-alive connection
                } else {
                    sendError(con, "408 Request Timeout");
                }
                return true;
            }
            used += size_t(n);
            head[used] = '\0';
        }
        if (std::memchr(head, '\0', headEnd) != nullptr) {
            sendError(con, "400 Bad Request");
            return true;
        }

        // The request line.
        char* lineEnd = static_cast<char*>(::memmem(head, headEnd, "\r\n", 2));
        bool isGet = std::strncmp(head, "GET ", 4) == 0;
        bool isPost = std::strncmp(head, "POST ", 5) == 0;
        if (!isGet && !isPost) {
            sendError(con, "405 Method not allowed");
            return true;
        }
        char* target = head + (isGet ? 4 : 5);
        if (startsWithNoCase(target, size_t(lineEnd - target), "http://")
            || startsWithNoCase(target, size_t(lineEnd - target), "https://")) {
            // Absolute form: the path follows the authority.
            char* authority = std::strstr(target, "//") + 2;
            char* space = static_cast<char*>(std::memchr(authority, ' ', size_t(lineEnd - authority)));
            char* limit = space != nullptr ? space : lineEnd;
            char* slash = static_cast<char*>(std::memchr(authority, '/', size_t(limit - authority)));
            target = slash != nullptr ? slash : limit;
        }
        char* targetEnd = target < lineEnd
                              ? static_cast<char*>(std::memchr(target, ' ', size_t(lineEnd - target)))
                              : nullptr;
        if (target >= lineEnd || *target != '/' || targetEnd == nullptr) {
            sendError(con, "400 Bad Request");
            return true;
        }
        target += 1;

        // The headers this server uses; names in any letter case.
        bool hasLength = false;
        bool lengthValid = true;
        size_t length = 0;
        bool clientKeepAlive = false;
        const char* type = "";
        size_t typeLength = 0;
        for (char* line = lineEnd + 2; line < head + headEnd - 2;) {
            char* e = static_cast<char*>(::memmem(line, size_t(head + headEnd - line), "\r\n", 2));
            char* colon = static_cast<char*>(std::memchr(line, ':', size_t(e - line)));
            if (colon != nullptr) {
                char* v = colon + 1;
                while (v < e && (*v == ' ' || *v == '\t')) v++;
                char* ve = e;
                while (ve > v && (ve[-1] == ' ' || ve[-1] == '\t')) ve--;
                size_t nameLength = size_t(colon - line);
                if (equalsNoCase(line, nameLength, "content-length")) {
                    size_t value = 0;
                    bool digits = v < ve;
                    for (char* d = v; d < ve; d++) {
                        if (*d < '0' || *d > '9') {
                            digits = false;
                            break;
                        }
                        value = value > (SIZE_MAX - 9) / 10 ? SIZE_MAX : value * 10 + size_t(*d - '0');
                    }
                    if (!digits || (hasLength && value != length)) lengthValid = false;
                    hasLength = true;
                    length = value;
                } else if (equalsNoCase(line, nameLength, "connection")) {
                    if (findNoCase(v, size_t(ve - v), "keep-alive") != nullptr) clientKeepAlive = true;
                } else if (equalsNoCase(line, nameLength, "content-type") && typeLength == 0) {
                    type = v;
                    typeLength = size_t(ve - v);
                }
            }
            line = e + 2;
        }
        if (!lengthValid) {
            sendError(con, "400 Bad Request");
            return true;
        }
        con.keepAliveReply = keepAlive && clientKeepAlive;

        char* query = static_cast<char*>(std::memchr(target, '?', size_t(targetEnd - target)));
        size_t consumed = 0;  // body bytes that came with the head
        bool keepOpen = false;
        if (isGet) {
            if (query != nullptr) {
                keepOpen = handleRequest(con, query + 1, targetEnd);
            } else {
                serveFile(con, target, size_t(targetEnd - target), keepOpen);
            }
        } else {
            if (hasLength && con.mayPark && length <= headBufferSize - headEnd && used - headEnd < length) {
                // A body that fits in the head buffer is gathered there like
                // the head: waiting for it never holds a worker, and it must
                // arrive within the same time-out as the head.
                switch (gatherBody(con, head, used, headEnd + length, started)) {
                case Gathered::complete: break;
                case Gathered::waiting: waitForMore(con, used, firstRequest, started); return true;
                case Gathered::closed: closeConnection(con); return true;
                case Gathered::timedOut: sendError(con, "408 Request Timeout"); return true;
                }
            }
            if (hasLength) {
                BodyResult result = readBody(con, req, head, headEnd, used, length, type, typeLength, consumed);
                if (result != BodyResult::ok) req.removeUploads();
                switch (result) {
                case BodyResult::ok: break;
                case BodyResult::closed: closeConnection(con); return true;
                case BodyResult::timedOut: sendError(con, "408 Request Timeout"); return true;
                case BodyResult::tooLarge: sendError(con, "413 Request Entity Too Large"); return true;
                }
            }
            if (query != nullptr) {
                keepOpen = handleRequest(con, query + 1, targetEnd, &req);
            } else {
                char empty[1] = {'\0'};
                keepOpen = handleRequest(con, empty, empty, &req);
            }
        }
        if (!keepOpen || con.socket == nullptr) {
            closeConnection(con);
            return true;
        }
        // What follows this request is the start of the next one.
        size_t next = headEnd + consumed;
        std::memmove(head, head + next, used - next);
        used -= next;
        head[used] = '\0';
        started = nowMs();
        firstRequest = false;
    }
}
