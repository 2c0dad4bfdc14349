// WWWconnection (request variables and the reply) and WWWapi (listening,
// accepting and page dispatch).

#include "engine286/wwwapi.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "engine286/database.h"

uint32_t stringHashFunction(const char* name)
{
    uint32_t h = 0;
    for (const char* p = name; *p != '\0'; p++) {
        h = (h << 4) + uint32_t(int32_t(static_cast<signed char>(*p)));
        uint32_t g = h & 0xF0000000u;
        if (g != 0) h ^= g >> 24;
        h &= ~g;
    }
    return h;
}

// ---------------------------------------------------------------- WWWconnection

WWWconnection::WWWconnection()
{
    reply = new char[initialReplyCapacity + 1];
    reply[0] = '\0';
    replyCapacity = initialReplyCapacity;
    for (auto& chain : variables) chain = nullptr;
}

WWWconnection::~WWWconnection()
{
    delete socket;
    delete[] peer;
    reset();
    delete[] reply;
    while (freeVariables != nullptr) {
        Variable* v = freeVariables;
        freeVariables = v->next;
        delete v;
    }
}

void WWWconnection::reset()
{
    replyLength = 0;
    reply[0] = '\0';
    mode = markup;
    for (auto& chain : variables) {
        while (chain != nullptr) {
            Variable* v = chain;
            chain = v->next;
            v->next = freeVariables;
            freeVariables = v;
        }
    }
}

void WWWconnection::setSocket(socket_t* s)
{
    if (s != socket) delete socket;
    socket = s;
}

void WWWconnection::forgetHead()
{
    head.reset();
    headUsed = 0;
    laterRequest = false;
    waitingForInput = false;
}

void WWWconnection::setPeer(char* text)
{
    delete[] peer;
    peer = text;
}

char* WWWconnection::reserve(size_t n)
{
    size_t needed = size_t(replyLength) + n;
    if (needed > 0xFFFFFFF0u) throw std::bad_alloc();
    if (needed >= replyCapacity) {
        size_t capacity = size_t(replyCapacity) * 2;
        if (capacity < needed) capacity = needed;
        if (capacity > 0xFFFFFFF0u) capacity = 0xFFFFFFF0u;
        char* grown = new char[capacity + 1];
        std::memcpy(grown, reply, replyLength);
        delete[] reply;
        reply = grown;
        replyCapacity = uint32_t(capacity);
    }
    replyLength = uint32_t(needed);
    reply[replyLength] = '\0';
    return reply;
}

void WWWconnection::appendBytes(const char* data, size_t n)
{
    uint32_t at = replyLength;
    std::memcpy(reserve(n) + at, data, n);
}

WWWconnection& WWWconnection::append(const char* text)
{
    if (text == nullptr) text = "";
    if (mode == markup) {
        // Page texts are kept in UTF-8, so the utf8 setting needs no
        // conversion here.
        appendBytes(text, std::strlen(text));
        mode = value;
        return *this;
    }
    mode = markup;
    if (text[0] == ' ' && text[1] == '\0') {
        appendBytes("&nbsp;", 6);
        return *this;
    }
    size_t n = 0;
    for (const char* p = text; *p != '\0'; p++) {
        switch (*p) {
        case '"': n += 6; break;
        case '&': n += 5; break;
        case '<':
        case '>': n += 4; break;
        case '\'': n += 5; break;
        default: n += 1;
        }
    }
    uint32_t at = replyLength;
    char* dst = reserve(n) + at;
    for (const char* p = text; *p != '\0'; p++) {
        const char* s;
        size_t len;
        switch (*p) {
        case '"': s = "&quot;"; len = 6; break;
        case '&': s = "&amp;"; len = 5; break;
        case '<': s = "&lt;"; len = 4; break;
        case '>': s = "&gt;"; len = 4; break;
        case '\'': s = "&#39;"; len = 5; break;
        default: *dst++ = *p; continue;
        }
        std::memcpy(dst, s, len);
        dst += len;
    }
    return *this;
}

WWWconnection& WWWconnection::appendNumber(int n)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%d", n);
    return append(digits);
}

void WWWconnection::addVariable(char* name, char* value)
{
    Variable* v = freeVariables;
    if (v != nullptr) {
        freeVariables = v->next;
    } else {
        v = new Variable;
    }
    v->name = name;
    v->value = value;
    v->hash = stringHashFunction(name);
    Variable*& chain = variables[v->hash % hashTableSize];
    v->next = chain;
    chain = v;
}

char* WWWconnection::get(const char* name)
{
    uint32_t h = stringHashFunction(name);
    for (Variable* v = variables[h % hashTableSize]; v != nullptr; v = v->next) {
        if (v->hash == h && std::strcmp(v->name, name) == 0) return v->value;
    }
    return nullptr;
}

namespace {

inline int hexDigit(char c)
{
    signed char s = static_cast<signed char>(c);
    if (s >= 'a') return s - 87;
    if (s >= 'A') return s - 55;
    return s - 48;
}

// Copies bytes from `src` to `dst` (dst <= src) decoding '+' and %XX, up to
// `end` or the first `stop` byte, which is skipped. Returns the new src and
// tells whether the stop byte was met.
char* decodeUntil(char*& dst, char* src, char* end, char stop, bool& stopped)
{
    while (src < end && *src != stop) {
        char c = *src++;
        if (c == '+') {
            c = ' ';
        } else if (c == '%' && end - src >= 2) {
            c = char(((hexDigit(src[0]) << 4) | hexDigit(src[1])) & 0xFF);
            src += 2;
        }
        *dst++ = c;
    }
    stopped = src < end;
    return stopped ? src + 1 : src;
}

}  // namespace

char* WWWconnection::parseVariables(char* data, size_t length, bool keepExisting)
{
    // The byte at data[length] must be writable: a value that runs to the
    // end is terminated there.
    char* end = data + length;
    while (data < end) {
        char* name = data;
        char* dst = data;
        bool hasValue;
        char* src = decodeUntil(dst, data, end, '=', hasValue);
        char* nameEnd = dst;
        if (!hasValue) {
            *nameEnd = '\0';
            if (!keepExisting || get(name) == nullptr) addVariable(name, nameEnd);
            break;
        }
        // The value is decoded right after the name's terminator; decoded
        // text is never longer than its source, so it never overtakes it.
        char* value = nameEnd + 1;
        dst = value;
        bool more;
        src = decodeUntil(dst, src, end, '&', more);
        *dst = '\0';
        *nameEnd = '\0';
        if (!keepExisting || get(name) == nullptr) addVariable(name, value);
        data = src;
    }
    return get("page");
}

// ---------------------------------------------------------------- WWWapi

WWWapi::WWWapi(dbDatabase* database, int nPages, const WWWpage* pages) : db(database)
{
    for (auto& chain : pageTable) chain = nullptr;
    entries.reserve(size_t(nPages > 0 ? nPages : 0));
    for (int i = 0; i < nPages; i++) {
        const char* name = pages[i].name != nullptr ? pages[i].name : "";
        entries.push_back(PageEntry{name, pages[i].handler, stringHashFunction(name), nullptr});
    }
    for (auto& e : entries) {
        PageEntry*& chain = pageTable[e.hash % pageTableSize];
        e.chain = chain;
        chain = &e;
    }
}

WWWapi::~WWWapi()
{
    close();
}

bool WWWapi::open(const char* addr, socket_domain domain, int listenQueueSize)
{
    (void)domain;  // TCP is the only transport
    delete sock;
    address = addr != nullptr ? addr : "localhost:8001";
    sock = socket_t::createGlobal(address.c_str(), listenQueueSize);
    canceled = false;
    if (sock->isOk()) {
        // A client that stops reading cannot hold a worker for ever.
        sock->setWriteTimeout(getReadTimeout());
        openError = 0;
        return true;
    }
    openError = static_cast<unix_socket*>(sock)->getErrorCode();
    char text[64];
    sock->errorText(text, sizeof text);
    std::fprintf(stderr, "WWWapi::open: create socket failed: %s\n", text);
    return false;
}

bool WWWapi::connect(WWWconnection& con)
{
    DB_ASSERT(sock != nullptr);
    con.reset();
    delete con.socket;
    con.socket = nullptr;
    socket_t* s = sock->accept();
    if (s != nullptr) {
        con.socket = s;
        return true;
    }
    if (!canceled) {
        char text[64];
        sock->errorText(text, sizeof text);
        std::fprintf(stderr, "WWWapi::connect: accept failed: %s\n", text);
    }
    return false;
}

void WWWapi::cancel()
{
    canceled = true;
    if (sock != nullptr) sock->cancelAccept();
}

void WWWapi::close()
{
    delete sock;
    sock = nullptr;
    address.clear();
}

int WWWapi::getPort() const
{
    return sock != nullptr && sock->isOk() ? sock->localPort() : -1;
}

bool WWWapi::dispatch(WWWconnection& con, const char* page)
{
    uint32_t h = stringHashFunction(page);
    for (PageEntry* e = pageTable[h % pageTableSize]; e != nullptr; e = e->chain) {
        if (e->hash == h && e->name == page) {
            try {
                e->handler(con);
            } catch (...) {
                // The reply keeps what the page wrote before it failed.
            }
            if (db != nullptr) {
                try {
                    db->commit();
                } catch (...) {
                    // The engine has reported the failure itself.
                }
            }
            break;
        }
    }
    return true;
}
