// Feeds arbitrary bytes to the HTTP request reader as if a client had sent
// them: the request head, url-encoded and multipart bodies, file requests and
// page dispatch. The first input byte chooses how the bytes arrive (chunk
// size), what happens when they run out (time-out or close) and the size of
// the body buffer, so that multipart streaming crosses buffer boundaries.
//
// Checks beyond the sanitizers: a 200 reply's Content-Length equals the
// length of what follows its header block.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine286/wwwapi.h"

namespace {

// A socket that reads from the fuzz input and collects what is written.
class MemorySocket : public socket_t {
public:
    MemorySocket(const uint8_t* data, size_t size, size_t chunk, bool timesOut)
        : data(data), size(size), chunk(chunk), timesOut(timesOut)
    {
        state = ss_open;
    }
    bool readString(char*, size_t, int) override { return false; }
    bool writeString(const char* text) override { return write(text, std::strlen(text) + 1); }
    int read(void* buffer, size_t minSize, size_t maxSize, int timeoutMs) override
    {
        if (state != ss_open) return -1;
        size_t n = std::min(std::min(maxSize, chunk), size - pos);
        if (n == 0 || n < minSize) {
            if (n == 0 && timesOut && timeoutMs >= 0) return 0;
            if (n == 0 || timeoutMs < 0) return -1;
        }
        std::memcpy(buffer, data + pos, n);
        pos += n;
        return int(n);
    }
    bool write(const void* buffer, size_t n) override
    {
        if (state != ss_open) return false;
        output.append(static_cast<const char*>(buffer), n);
        return true;
    }
    bool isOk() override { return true; }
    void errorText(char* buffer, size_t n) override
    {
        if (n > 0) std::snprintf(buffer, n, "connection is broken");
    }
    socket_t* accept() override { return nullptr; }
    bool cancelAccept() override { return true; }
    bool shutdown() override
    {
        if (state == ss_open) state = ss_shutdown;
        return true;
    }
    bool close() override
    {
        state = ss_close;
        return true;
    }
    char* peerName() override
    {
        char* p = new char[10];
        std::memcpy(p, "127.0.0.1", 10);
        return p;
    }
    int socketHandle() override { return -1; }
    int localPort() override { return -1; }
    void setWriteTimeout(int) override {}
    ~MemorySocket() override { check(); }

private:
    void check()
    {
        static const char prefix[] = "HTTP/1.1 200 OK\r\nContent-Length: ";
        if (output.compare(0, sizeof prefix - 1, prefix) != 0) return;
        unsigned long declared = std::strtoul(output.c_str() + sizeof prefix - 1, nullptr, 10);
        // The header block ends at the first LF followed by LF or CR, as
        // the server finds it.
        size_t bodyStart = std::string::npos;
        for (size_t i = output.find('\n'); i + 1 < output.size(); i++) {
            if (output[i] == '\n' && (output[i + 1] == '\n' || output[i + 1] == '\r')) {
                bodyStart = std::min(output[i + 1] == '\n' ? i + 2 : i + 3, output.size());
                break;
            }
        }
        if (bodyStart == std::string::npos || output.size() - bodyStart != declared) {
            std::fprintf(stderr, "Content-Length %lu does not match the reply:\n%s\n", declared, output.c_str());
            std::abort();
        }
    }

    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    size_t chunk;
    bool timesOut;
    std::string output;
};

bool loginPage(WWWconnection& con)
{
    con.append("Content-type: text/html\r\n\r\n");
    con.setMode(WWWconnection::markup);
    con.append("<p>login</p>");
    return true;
}

// Writes every commonly used variable, as markup name and escaped value.
bool echoPage(WWWconnection& con)
{
    con.append("Content-type: text/html\r\n\r\n");
    con.setMode(WWWconnection::markup);
    for (const char* name : {"a", "b", "session", "file", "note", "", "page"}) {
        con.append(name).append(con.get(name));
    }
    if (const char* file = con.get("file")) {
        struct stat st;
        if (::stat(file, &st) == 0) con.appendNumber(int(st.st_size));
    }
    return true;
}

bool throwingPage(WWWconnection& con)
{
    con.append("Content-type: text/html\r\n\r\n");
    if (con.get("x") != nullptr) throw 1;
    return true;
}

// A page that writes no header block, or a header block of its own.
bool rawPage(WWWconnection& con)
{
    con.setMode(WWWconnection::markup);
    con.append(con.get("raw"));
    return true;
}

const WWWpage pages[] = {{"", loginPage}, {"echo", echoPage}, {"throws", throwingPage}, {"raw", rawPage}};

HTTPapi* makeServer()
{
    static char folder[] = "/tmp/tarnwicke-fuzz-XXXXXX";
    if (::mkdtemp(folder) == nullptr) std::abort();
    std::string site = std::string(folder) + "/site";
    ::mkdir(site.c_str(), 0700);
    FILE* f = std::fopen((site + "/a.css").c_str(), "wb");
    if (f != nullptr) {
        std::fputs("p { }", f);
        std::fclose(f);
    }
    auto* api = new HTTPapi(nullptr, int(std::size(pages)), pages, false, 0);
    api->setProgramFolder(site);
    api->setUploadFolder(folder);
    api->setMaxBodyLength(1 << 20);
    return api;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static HTTPapi* api = makeServer();
    if (size < 1) return 0;
    uint8_t flags = data[0];
    static const size_t chunks[] = {1, 3, 17, 64, 500, 4096, 65536, 1 << 20};
    size_t chunk = chunks[flags & 7];
    bool timesOut = (flags & 8) != 0;
    api->setBodyBufferSize(size_t(256) << ((flags >> 4) & 7));
    api->setUtf8((flags & 0x80) != 0);

    WWWconnection con;
    con.setSocket(new MemorySocket(data + 1, size - 1, chunk, timesOut));
    api->serve(con);
    return 0;
}
