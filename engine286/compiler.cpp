#include "engine286/compiler.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>

// ---------------------------------------------------------------- tokens

namespace {

enum Token {
    tkn_ident = 0,
    tkn_lpar = 1,
    tkn_rpar = 2,
    tkn_lbr = 3,
    tkn_rbr = 4,
    tkn_dot = 5,
    tkn_comma = 6,
    tkn_power = 7,
    tkn_iconst = 8,
    tkn_sconst = 9,
    tkn_fconst = 10,
    tkn_add = 11,
    tkn_sub = 12,
    tkn_mul = 13,
    tkn_div = 14,
    tkn_and = 15,
    tkn_or = 16,
    tkn_not = 17,
    tkn_null = 18,
    tkn_eq = 20,
    tkn_ne = 21,
    tkn_gt = 22,
    tkn_ge = 23,
    tkn_lt = 24,
    tkn_le = 25,
    tkn_between = 26,
    tkn_escape = 27,
    tkn_exists = 28,
    tkn_like = 29,
    tkn_in = 30,
    tkn_length = 31,
    tkn_lower = 32,
    tkn_upper = 33,
    tkn_abs = 34,
    tkn_is = 35,
    tkn_integer = 36,
    tkn_real = 37,
    tkn_string = 38,
    tkn_first = 39,
    tkn_last = 40,
    tkn_current = 41,
    tkn_var = 42,
    tkn_col = 43,
    tkn_true = 44,
    tkn_false = 45,
    tkn_where = 46,
    tkn_follow = 47,
    tkn_start = 48,
    tkn_from = 49,
    tkn_order = 50,
    tkn_by = 51,
    tkn_asc = 52,
    tkn_desc = 53,
    tkn_eof = 54,
    tkn_insert = 55,
    tkn_into = 56,
    tkn_select = 57,
    tkn_table = 58,
    tkn_all = 60
};

struct Keyword {
    const char* name;
    int token;
};

// In the order in which they are entered into the symbol table.
const Keyword keywords[] = {
    {"all", tkn_all},         {"abs", tkn_abs},       {"and", tkn_and},       {"asc", tkn_asc},
    {"between", tkn_between}, {"by", tkn_by},         {"current", tkn_current}, {"desc", tkn_desc},
    {"escape", tkn_escape},   {"exists", tkn_exists}, {"first", tkn_first},   {"false", tkn_false},
    {"follow", tkn_follow},   {"from", tkn_from},     {"in", tkn_in},         {"is", tkn_is},
    {"integer", tkn_integer}, {"insert", tkn_insert}, {"into", tkn_into},     {"last", tkn_last},
    {"length", tkn_length},   {"like", tkn_like},     {"lower", tkn_lower},   {"not", tkn_not},
    {"null", tkn_null},       {"or", tkn_or},         {"order", tkn_order},   {"real", tkn_real},
    {"select", tkn_select},   {"start", tkn_start},   {"string", tkn_string}, {"table", tkn_table},
    {"true", tkn_true},       {"upper", tkn_upper},   {"where", tkn_where},
};
constexpr int nKeywords = int(sizeof(keywords) / sizeof(keywords[0]));

// A name interned before the keywords were registered (a field called
// "first", say) keeps tag 0 in the symbol table; such keywords are
// recognised through this list by their interned text.
struct KeywordOverride {
    const char* interned;
    int token;
};
KeywordOverride keywordOverrides[nKeywords];
int nKeywordOverrides = 0;

void registerKeywords()
{
    for (const Keyword& k : keywords) {
        const char* name = k.name;
        int tag = dbSymbolTable::add(name, k.token, false);
        if (tag != k.token) keywordOverrides[nKeywordOverrides++] = {name, k.token};
    }
}

inline bool isNameStart(int ch) { return ch < 128 && (std::isalpha(ch) || ch == '$' || ch == '_'); }
inline bool isNamePart(int ch) { return ch < 128 && (std::isalnum(ch) || ch == '$' || ch == '_'); }

// The expression type of a field type (methods by their result type).
int exprTypeOf(int fieldType)
{
    if (fieldType >= dbField::tpMethodBool && fieldType <= dbField::tpMethodReference)
        fieldType -= dbField::tpMethodBool;
    switch (fieldType) {
    case dbField::tpBool: return tpBoolean;
    case dbField::tpInt1:
    case dbField::tpInt2:
    case dbField::tpInt4:
    case dbField::tpInt8: return tpInteger;
    case dbField::tpReal4:
    case dbField::tpReal8: return tpReal;
    case dbField::tpString: return tpString;
    case dbField::tpReference: return tpReference;
    case dbField::tpArray: return tpArray;
    case dbField::tpRawBinary: return tpRawBinary;
    default: return tpAddress;
    }
}

// Tables are the same when one is a copy of the other bound to a database.
bool sameTable(const dbTableDescriptor* a, const dbTableDescriptor* b)
{
    if (a == nullptr || b == nullptr) return false;
    const dbTableDescriptor* ra = a->cloneOf != nullptr ? a->cloneOf : a;
    const dbTableDescriptor* rb = b->cloneOf != nullptr ? b->cloneOf : b;
    return ra == rb;
}

bool isParameter(const dbExprNode* n) { return n->cop >= dbvmVariableBool && n->cop <= dbvmVariableUnknown; }
bool isRawFieldLoad(const dbExprNode* n) { return n->cop == dbvmLoadRawBinary || n->cop == dbvmLoadSelfRawBinary; }
bool isNumeric(const dbExprNode* n) { return n->type == tpInteger || n->type == tpReal; }

// The mirrored relational operator within a group of six (=, <>, >, >=, <, <=).
int mirror(int k)
{
    static const int mirrored[6] = {0, 1, 4, 5, 2, 3};
    return mirrored[k];
}

}  // namespace

// ---------------------------------------------------------------- nodes

int dbExprNode::operandCount(int cop)
{
    static const auto table = [] {
        struct Counts {
            uint8_t n[dbvmLastCode + 1];
        } c{};
        auto set = [&](int from, int to, int count) {
            for (int i = from; i <= to; i++) c.n[i] = uint8_t(count);
        };
        set(dbvmLoadBool, dbvmLoadRawBinary, 1);
        set(dbvmInArrayBool, dbvmInString, 2);
        set(dbvmLength, dbvmStringLength, 1);
        set(dbvmGetAt, dbvmCharAt, 2);
        set(dbvmOr, dbvmAnd, 2);
        set(dbvmNot, dbvmNegInt, 1);
        set(dbvmAddInt, dbvmOrInt, 2);
        set(dbvmNotInt, dbvmAbsInt, 1);
        set(dbvmPowerInt, dbvmLeInt, 2);
        set(dbvmBetweenInt, dbvmBetweenInt, 3);
        set(dbvmNegReal, dbvmNegReal, 1);
        set(dbvmAddReal, dbvmDivReal, 2);
        set(dbvmAbsReal, dbvmAbsReal, 1);
        set(dbvmPowerReal, dbvmLeBinary, 2);
        set(dbvmBetweenBinary, dbvmBetweenBinary, 3);
        set(dbvmEqReal, dbvmLeReal, 2);
        set(dbvmBetweenReal, dbvmBetweenReal, 3);
        set(dbvmEqBool, dbvmLeString, 2);
        set(dbvmBetweenString, dbvmBetweenString, 3);
        set(dbvmLikeString, dbvmLikeString, 2);
        set(dbvmLikeEscapeString, dbvmLikeEscapeString, 3);
        set(dbvmUpperString, dbvmRealToString, 1);
        set(dbvmStringConcat, dbvmStringConcat, 2);
        set(dbvmDeref, dbvmExists, 1);
        set(dbvmList, dbvmList, 2);
        return c;
    }();
    return cop >= 0 && cop <= dbvmLastCode ? table.n[cop] : 0;
}

dbExprNode::dbExprNode(int code, int resultType) : cop(uint8_t(code)), type(uint8_t(resultType)), height(1), offset(0)
{
    operand[0] = operand[1] = operand[2] = nullptr;
}

dbExprNode::~dbExprNode()
{
    if (cop == dbvmStringConst) delete[] svalue.str;
}

void dbExprNode::destroyTree(dbExprNode* node)
{
    if (node == nullptr) return;
    int n = operandCount(node->cop);
    for (int i = 0; i < n; i++) destroyTree(node->operand[i]);
    delete node;
}

// ---------------------------------------------------------------- compiler state

dbCompiler::dbCompiler()
{
    static std::once_flag registered;
    std::call_once(registered, registerKeywords);
}

dbCompiler::~dbCompiler() { cleanUp(true); }

dbCompiler* dbCompiler::forThread(dbDatabase* db)
{
    dbDatabaseThreadContext* ctx = db->getThreadContext();
    DB_ASSERT(ctx != nullptr);
    if (ctx->compiler == nullptr) {
        ctx->compiler = new dbCompiler();
        ctx->destroyCompiler = [](void* c) { delete static_cast<dbCompiler*>(c); };
    }
    return static_cast<dbCompiler*>(ctx->compiler);
}

// Counts one level of sub-expression nesting for as long as it lives.
struct NestingGuard {
    dbCompiler* compiler;
    explicit NestingGuard(dbCompiler* c) : compiler(c)
    {
        if (++compiler->nesting > dbCompiler::maxNesting) compiler->error("Expression is too complex");
    }
    ~NestingGuard() { compiler->nesting -= 1; }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;
};

void dbCompiler::error(const char* msg, int pos)
{
    if (pos < 0)
        pos = positionHere();
    else if (pos < firstPos)
        pos = firstPos;
    if (pos + lineOffset >= 0) pos += lineOffset;
    errorAt(msg, pos);
}

void dbCompiler::errorAt(const char* msg, int pos)
{
    db->handleError(dbDatabase::errQuery, msg, pos);
    throw Failure();
}

dbExprNode* dbCompiler::node(int cop, int type, dbExprNode* a, dbExprNode* b, dbExprNode* c)
{
    int h = 0;
    if (a != nullptr && a->height > h) h = a->height;
    if (b != nullptr && b->height > h) h = b->height;
    if (c != nullptr && c->height > h) h = c->height;
    h += 1;
    if (h > maxHeight || created.size() >= maxNodes) error("Expression is too complex");
    auto* n = new dbExprNode(cop, type);
    n->height = uint16_t(h);
    n->operand[0] = a;
    n->operand[1] = b;
    n->operand[2] = c;
    track(n);
    return n;
}

void dbCompiler::track(dbExprNode* n)
{
    try {
        created.push_back(n);
    } catch (...) {
        delete n;
        throw;
    }
}

dbExprNode* dbCompiler::fieldNode(int cop, int type, dbExprNode* base, dbFieldDescriptor* fd)
{
    dbExprNode* n = node(cop, type, base);
    n->ref.field = fd;
    n->offset = fd != nullptr ? uint32_t(fd->storedOffset) : 0;
    return n;
}

dbExprNode* dbCompiler::stringConst(const std::string& text)
{
    dbExprNode* n = node(dbvmStringConst, tpString);
    char* copy = new char[text.size() + 1];
    std::memcpy(copy, text.c_str(), text.size() + 1);
    n->svalue.str = copy;
    n->svalue.size = text.size() + 1;
    return n;
}

dbExprNode* dbCompiler::copy(const dbExprNode* n)
{
    if (created.size() >= maxNodes) error("Expression is too complex");
    auto* c = new dbExprNode(n->cop, n->type);
    c->height = n->height;
    c->offset = n->offset;
    c->operand[0] = n->operand[0];
    c->operand[1] = n->operand[1];
    c->operand[2] = n->operand[2];
    if (n->cop == dbvmStringConst) {
        c->svalue.str = nullptr;  // not owned until the copy below succeeds
        track(c);
        char* text = new char[n->svalue.size];
        std::memcpy(text, n->svalue.str, n->svalue.size);
        c->svalue.str = text;
        return c;
    }
    int count = dbExprNode::operandCount(n->cop);
    for (int i = 0; i < count; i++) c->operand[i] = nullptr;
    track(c);
    for (int i = 0; i < count; i++) c->operand[i] = copy(n->operand[i]);
    return c;
}

dbExprNode* dbCompiler::toReal(dbExprNode* n)
{
    if (n->cop == dbvmIntConst) {
        n->cop = dbvmRealConst;
        n->type = tpReal;
        n->fvalue = double(n->ivalue);
        return n;
    }
    return node(dbvmIntToReal, tpReal, n);
}

void dbCompiler::discard(dbExprNode* n)
{
    // A height of 0 marks a node freed when the compilation ends.
    n->height = 0;
}

void dbCompiler::cleanUp(bool failed)
{
    for (dbExprNode* n : created) {
        if (failed || n->height == 0) delete n;
    }
    created.clear();
    if (failed) {
        // The lists' expressions were among the nodes just freed.
        while (order != nullptr) {
            dbOrderByNode* next = order->next;
            delete order;
            order = next;
        }
        while (follow != nullptr) {
            dbFollowByNode* next = follow->next;
            delete follow;
            follow = next;
        }
    }
    order = nullptr;
    follow = nullptr;
    bindings = nullptr;
    if (svalue.capacity() > 4 * size_t(maxStringLength)) std::string().swap(svalue);
}

// ---------------------------------------------------------------- scanner

int dbCompiler::nextTokenPos()
{
    if (!hasToken) {
        scan();
        hasToken = true;
    }
    return tokenPos;
}

int dbCompiler::scan()
{
    if (hasToken) {
        hasToken = false;
        return lex;
    }
    for (;;) {
        if (element == nullptr) {
            tokenPos = positionHere();
            return lex = tkn_eof;
        }
        if (element->type != dbQueryElement::qText) {
            varType = element->type;
            varPtr = element->ptr;
            varRefTable = element->ref;
            element = element->next;
            currPos = 0;
            lineOffset = 0;
            tokenPos = 0;
            return lex = tkn_var;
        }
        const char* p = element->ptr != nullptr ? static_cast<const char*>(element->ptr) : "";
        int ch = static_cast<unsigned char>(p[currPos]);
        if (ch == 0) {
            if (element->next == nullptr) {
                // The end of the query: positions stay at the terminating zero.
                element = nullptr;
                currPos += 1;
                continue;
            }
            element = element->next;
            currPos = 0;
            lineOffset = 0;
            continue;
        }
        currPos += 1;
        if (ch == '\n') {
            lineOffset = -currPos;
            firstPos = 0;
            continue;
        }
        if (std::isspace(ch)) continue;
        tokenPos = currPos - 1;
        switch (ch) {
        case '-':
            if (p[currPos] == '-') {
                // A comment runs to the end of the line or of the element.
                while (p[currPos] != '\0' && p[currPos] != '\n') currPos += 1;
                continue;
            }
            return lex = tkn_sub;
        case '(': return lex = tkn_lpar;
        case ')': return lex = tkn_rpar;
        case '[': return lex = tkn_lbr;
        case ']': return lex = tkn_rbr;
        case '.': return lex = tkn_dot;
        case ',': return lex = tkn_comma;
        case '^': return lex = tkn_power;
        case '+': return lex = tkn_add;
        case '*': return lex = tkn_mul;
        case '/': return lex = tkn_div;
        case ':': return lex = tkn_col;
        case '=': return lex = tkn_eq;
        case '>':
            if (p[currPos] == '=') {
                currPos += 1;
                return lex = tkn_ge;
            }
            return lex = tkn_gt;
        case '<':
            if (p[currPos] == '=') {
                currPos += 1;
                return lex = tkn_le;
            }
            if (p[currPos] == '>') {
                currPos += 1;
                return lex = tkn_ne;
            }
            return lex = tkn_lt;
        case '!':
            if (p[currPos] != '=') error("Invalid token '!'");
            currPos += 1;
            return lex = tkn_ne;
        case '|':
            if (p[currPos] != '|') error("Invalid token '|'");
            currPos += 1;
            return lex = tkn_add;
        case '\'':
            return lex = scanString(p);
        default:
            if (ch >= '0' && ch <= '9') return lex = scanNumber(p);
            if (isNameStart(ch)) return lex = scanName(p);
            error("Invalid symbol");
        }
    }
}

int dbCompiler::scanString(const char* p)
{
    svalue.clear();
    for (;;) {
        int c = static_cast<unsigned char>(p[currPos]);
        if (c == 0) error("Unterminated character constant");
        currPos += 1;
        if (c == '\'') {
            if (p[currPos] != '\'') break;
            currPos += 1;  // two quotes stand for one
        }
        if (svalue.size() == size_t(maxStringLength)) error("String constant too long");
        svalue += char(c);
    }
    return tkn_sconst;
}

int dbCompiler::scanNumber(const char* p)
{
    int start = currPos - 1;
    int end = start;
    while (p[end] >= '0' && p[end] <= '9') end += 1;
    if (p[end] == '.' || p[end] == 'e' || p[end] == 'E') {
        double value;
        int n = 0;
        if (std::sscanf(p + start, "%lf%n", &value, &n) != 1 || n <= 0) error("Bad floating point constant");
        fvalue = value;
        currPos = start + n;
        return tkn_fconst;
    }
    if (end - start <= 9) {
        int32_t value = 0;
        for (int i = start; i < end; i++) value = value * 10 + (p[i] - '0');
        ivalue = value;
        currPos = end;
        return tkn_iconst;
    }
    int64_t value;
    int n = 0;
    if (std::sscanf(p + start, "%" SCNd64 "%n", &value, &n) != 1 || n <= 0) error("Bad integer constant");
    ivalue = value;
    currPos = start + n;
    return tkn_iconst;
}

int dbCompiler::scanName(const char* p)
{
    int start = currPos - 1;
    while (isNamePart(static_cast<unsigned char>(p[currPos]))) {
        if (currPos - start == maxNameLength) {
            currPos += 1;
            error("Name too long");
        }
        currPos += 1;
    }
    std::string text(p + start, size_t(currPos - start));
    const char* interned = text.c_str();
    int tag = dbSymbolTable::add(interned, tkn_ident, true);
    if (tag == tkn_ident) {
        for (int i = 0; i < nKeywordOverrides; i++) {
            if (keywordOverrides[i].interned == interned) {
                tag = keywordOverrides[i].token;
                break;
            }
        }
    }
    name = interned;
    return tag;
}

// ---------------------------------------------------------------- grammar

dbExprNode* dbCompiler::disjunction()
{
    NestingGuard guard(this);
    int leftPos = nextTokenPos();
    dbExprNode* left = conjunction();
    if (scan() == tkn_or) {
        dbExprNode* right = disjunction();
        if (left->type == tpBoolean && right->type == tpBoolean) return node(dbvmOr, tpBoolean, left, right);
        if (left->type == tpInteger && right->type == tpInteger) return node(dbvmOrInt, tpInteger, left, right);
        error("Bad operands for OR operator", leftPos);
    }
    unget();
    return left;
}

dbExprNode* dbCompiler::conjunction()
{
    NestingGuard guard(this);
    int leftPos = nextTokenPos();
    dbExprNode* left = comparison();
    if (scan() == tkn_and) {
        dbExprNode* right = conjunction();
        if (left->type == tpBoolean && right->type == tpBoolean) return node(dbvmAnd, tpBoolean, left, right);
        if (left->type == tpInteger && right->type == tpInteger) return node(dbvmAndInt, tpInteger, left, right);
        error("Bad operands for AND operator", leftPos);
    }
    unget();
    return left;
}

dbExprNode* dbCompiler::comparison()
{
    int leftPos = nextTokenPos();
    dbExprNode* left = sum();
    int tkn = scan();
    if (tkn >= tkn_eq && tkn <= tkn_le) {
        dbExprNode* right = sum();
        return relation(left, right, tkn, leftPos);
    }
    bool negate = false;
    if (tkn == tkn_not) {
        tkn = scan();
        if (tkn != tkn_like && tkn != tkn_between && tkn != tkn_in) error("LIKE, BETWEEN or IN expected");
        negate = true;
    }
    dbExprNode* result;
    switch (tkn) {
    case tkn_like: {
        dbExprNode* pattern = sum();
        if (left->type != tpString || pattern->type != tpString)
            error("operands of LIKE operator should be of string type", leftPos);
        if (scan() == tkn_escape) {
            if (scan() != tkn_sconst) error("String literal espected after ESCAPE");
            dbExprNode* escape = stringConst(svalue);
            result = node(dbvmLikeEscapeString, tpBoolean, left, pattern, escape);
        } else {
            unget();
            result = node(dbvmLikeString, tpBoolean, left, pattern);
        }
        break;
    }
    case tkn_between: {
        dbExprNode* low = sum();
        if (scan() != tkn_and) error("AND expected");
        dbExprNode* high = sum();
        result = between(left, low, high, leftPos);
        break;
    }
    case tkn_in: {
        int rightPos = nextTokenPos();
        dbExprNode* right = sum();
        result = in(left, right, leftPos, rightPos);
        break;
    }
    case tkn_is: {
        tkn = scan();
        bool notNull = false;
        if (tkn == tkn_not) {
            if (scan() != tkn_null) error("NULL expected");
            notNull = true;
        } else if (tkn != tkn_null) {
            error("[NOT] NULL expected");
        }
        if (left->type != tpReference) error("IS [NOT] NULL predicate can be applied only to references", leftPos);
        result = node(dbvmIsNull, tpBoolean, left);
        if (notNull) result = node(dbvmNot, tpBoolean, result);
        break;
    }
    default:
        unget();
        return left;
    }
    if (negate) result = node(dbvmNot, tpBoolean, result);
    return result;
}

dbExprNode* dbCompiler::relation(dbExprNode* left, dbExprNode* right, int tkn, int leftPos)
{
    int k = tkn - tkn_eq;
    int cop;
    if (left->type == tpReal || right->type == tpReal) {
        if (!isNumeric(left) || !isNumeric(right))
            error("operands of relation operator should be of intger, real or string type", leftPos);
        if (left->type == tpInteger) left = toReal(left);
        if (right->type == tpInteger) right = toReal(right);
        cop = dbvmEqReal + k;
    } else if (left->type == tpInteger && right->type == tpInteger) {
        cop = dbvmEqInt + k;
    } else if (left->type == tpString && right->type == tpString) {
        cop = dbvmEqString + k;
    } else if ((left->type == tpReference && (right->type == tpReference || right->type == tpInteger)) ||
               (right->type == tpReference && left->type == tpInteger)) {
        if (tkn != tkn_eq && tkn != tkn_ne) error("References can be checked only for equality", leftPos);
        if (left->type == tpInteger) left = node(dbvmIntToReference, tpReference, left);
        if (right->type == tpInteger) right = node(dbvmIntToReference, tpReference, right);
        cop = dbvmEqReference + k;
    } else if (left->type == tpBoolean && right->type == tpBoolean) {
        if (tkn != tkn_eq && tkn != tkn_ne) error("Boolean variables can be checked only for equality", leftPos);
        cop = dbvmEqBool + k;
    } else if (left->type == tpRawBinary && right->type == tpRawBinary) {
        const dbExprNode* field = isRawFieldLoad(left) ? left : isRawFieldLoad(right) ? right : nullptr;
        if (field == nullptr)
            error("Operations with raw binary types should include at least one record field", leftPos);
        cop = dbvmEqBinary + k;
        if (isParameter(left)) {
            std::swap(left, right);
            cop = dbvmEqBinary + mirror(k);
        }
        dbExprNode* n = node(cop, tpBoolean, left, right);
        n->bin.comparator = field->ref.field->comparator;
        n->offset = uint32_t(field->ref.field->storedSize);
        return n;
    } else {
        error("operands of relation operator should be of integer, real or string type", leftPos);
    }
    if (isParameter(left)) {
        // Parameters go to the right so that index searches find a field on the left.
        std::swap(left, right);
        cop = cop - k + mirror(k);
    }
    return node(cop, tpBoolean, left, right);
}

dbExprNode* dbCompiler::between(dbExprNode* value, dbExprNode* low, dbExprNode* high, int pos)
{
    dbExprNode* ops[3] = {value, low, high};
    if (value->type == tpReal || low->type == tpReal || high->type == tpReal) {
        for (dbExprNode*& op : ops) {
            if (op->type == tpInteger)
                op = toReal(op);
            else if (op->type != tpReal)
                error("operand of BETWEEN operator should be of integer, real or string type", pos);
        }
        return node(dbvmBetweenReal, tpBoolean, ops[0], ops[1], ops[2]);
    }
    if (value->type == tpInteger && low->type == tpInteger && high->type == tpInteger)
        return node(dbvmBetweenInt, tpBoolean, value, low, high);
    if (value->type == tpString && low->type == tpString && high->type == tpString)
        return node(dbvmBetweenString, tpBoolean, value, low, high);
    if (value->type == tpRawBinary && low->type == tpRawBinary && high->type == tpRawBinary) {
        if (!isRawFieldLoad(value))
            error("Operations with raw binary types should include at least one record field", pos);
        dbExprNode* n = node(dbvmBetweenBinary, tpBoolean, value, low, high);
        n->offset = uint32_t(value->ref.field->storedSize);
        return n;
    }
    error("operands of BETWEEN operator should be of integer, real or string type", pos);
}

dbExprNode* dbCompiler::in(dbExprNode* left, dbExprNode* right, int leftPos, int rightPos)
{
    if (right->type == tpString) {
        if (left->type != tpString) error("Left operand of IN expression hasn't string type", leftPos);
        return node(dbvmInString, tpBoolean, left, right);
    }
    if (right->type == tpArray) {
        int elementType;
        if (right->cop == dbvmVariableArray || right->cop == dbvmVariableArrayPtr)
            elementType = dbField::tpReference;
        else if ((right->cop == dbvmLoadArray || right->cop == dbvmLoadSelfArray) && right->ref.field != nullptr)
            elementType = right->ref.field->components->type;
        else
            elementType = dbField::tpUnknown;
        bool match = false;
        switch (elementType) {
        case dbField::tpBool: match = left->type == tpBoolean; break;
        case dbField::tpInt1:
        case dbField::tpInt2:
        case dbField::tpInt4:
        case dbField::tpInt8: match = left->type == tpInteger; break;
        case dbField::tpReal4:
        case dbField::tpReal8: match = left->type == tpReal; break;
        case dbField::tpString: match = left->type == tpString; break;
        case dbField::tpReference:
            if (left->type == tpInteger) left = node(dbvmIntToReference, tpReference, left);
            match = left->type == tpReference;
            break;
        default: break;
        }
        if (!match) error("Type of selective expression of IN operator doesn't match type of the array", leftPos);
        return node(dbvmInArrayBool + elementType, tpBoolean, left, right);
    }
    if (right->type == tpList) return rewriteList(left, right, rightPos);
    error("List of expressions or array expected", rightPos);
}

// Turns the list a, b, c into ((left = a) or (left = b)) or (left = c); every
// item gets its own copy of the left side, the last one the original.
dbExprNode* dbCompiler::rewriteList(dbExprNode* left, dbExprNode* list, int rightPos)
{
    std::vector<dbExprNode*> items;
    dbExprNode* n = list;
    while (n->cop == dbvmList) {
        items.push_back(n->operand[1]);
        discard(n);
        n = n->operand[0];
    }
    items.push_back(n);
    dbExprNode* result = nullptr;
    int count = int(items.size());
    for (int i = 0; i < count; i++) {
        dbExprNode* value = items[size_t(count - 1 - i)];
        dbExprNode* l = i + 1 == count ? left : copy(left);
        dbExprNode* eq = equalItem(l, value, i + 1, rightPos);
        result = result != nullptr ? node(dbvmOr, tpBoolean, result, eq) : eq;
    }
    return result;
}

// Item n of an IN list compared with (a copy of) the left side.
dbExprNode* dbCompiler::equalItem(dbExprNode* l, dbExprNode* value, int n, int rightPos)
{
    int cop;
    if (l->type == tpInteger && value->type == tpReal) {
        l = toReal(l);
        cop = dbvmEqReal;
    } else if (l->type == tpInteger && value->type == tpReference) {
        l = node(dbvmIntToReference, tpReference, l);
        cop = dbvmEqReference;
    } else if (l->type == tpInteger && value->type == tpInteger) {
        cop = dbvmEqInt;
    } else if (l->type == tpReal && (value->type == tpReal || value->type == tpInteger)) {
        if (value->type == tpInteger) value = toReal(value);
        cop = dbvmEqReal;
    } else if (l->type == tpString && value->type == tpString) {
        cop = dbvmEqString;
    } else if (l->type == tpReference && (value->type == tpReference || value->type == tpInteger)) {
        if (value->type == tpInteger) value = node(dbvmIntToReference, tpReference, value);
        cop = dbvmEqReference;
    } else if (l->type == tpBoolean && value->type == tpBoolean) {
        cop = dbvmEqBool;
    } else if (l->type == tpRawBinary && value->type == tpRawBinary) {
        const dbExprNode* field = isRawFieldLoad(l) ? l : isRawFieldLoad(value) ? value : nullptr;
        if (field == nullptr)
            error("Operations with raw binary types should include at least one record field", rightPos);
        dbExprNode* eq = node(dbvmEqBinary, tpBoolean, l, value);
        eq->bin.comparator = field->ref.field->comparator;
        eq->offset = uint32_t(field->ref.field->storedSize);
        return eq;
    } else {
        char msg[96];
        std::snprintf(msg, sizeof msg, "Expression %d in right part of IN operator have incompatible type", n);
        error(msg, rightPos);
    }
    return node(cop, tpBoolean, l, value);
}

dbExprNode* dbCompiler::arithmetic(int tkn, dbExprNode* left, dbExprNode* right, int leftPos, int rightPos)
{
    if (tkn == tkn_power || left->type == tpReal || right->type == tpReal) {
        if (!isNumeric(left)) error("operands of arithmetic operators should be of integer or real type", leftPos);
        if (!isNumeric(right)) error("operands of arithmetic operator should be of integer or real type", rightPos);
        if (tkn == tkn_power) {
            if (left->type == tpInteger && right->type == tpInteger) return node(dbvmPowerInt, tpInteger, left, right);
            if (right->type == tpInteger) return node(dbvmPowerRealInt, tpReal, left, right);
            if (left->type == tpInteger) left = toReal(left);
            return node(dbvmPowerReal, tpReal, left, right);
        }
        if (left->type == tpInteger) left = toReal(left);
        if (right->type == tpInteger) right = toReal(right);
        int cop = tkn == tkn_add ? dbvmAddReal : tkn == tkn_sub ? dbvmSubReal : tkn == tkn_mul ? dbvmMulReal : dbvmDivReal;
        return node(cop, tpReal, left, right);
    }
    if (left->type == tpInteger && right->type == tpInteger) {
        int cop = tkn == tkn_add ? dbvmAddInt : tkn == tkn_sub ? dbvmSubInt : tkn == tkn_mul ? dbvmMulInt : dbvmDivInt;
        return node(cop, tpInteger, left, right);
    }
    if (left->type == tpString && right->type == tpString) {
        if (tkn == tkn_add) return node(dbvmStringConcat, tpString, left, right);
        if (tkn == tkn_sub) error("Operation - is not defined for strings", leftPos);
    }
    error("operands of arithmentic operator should be of integer or real type", leftPos);
}

dbExprNode* dbCompiler::sum()
{
    int leftPos = nextTokenPos();
    dbExprNode* left = product();
    for (;;) {
        int tkn = scan();
        if (tkn != tkn_add && tkn != tkn_sub) {
            unget();
            return left;
        }
        int rightPos = nextTokenPos();
        dbExprNode* right = product();
        left = arithmetic(tkn, left, right, leftPos, rightPos);
    }
}

dbExprNode* dbCompiler::product()
{
    int leftPos = nextTokenPos();
    dbExprNode* left = power();
    for (;;) {
        int tkn = scan();
        if (tkn != tkn_mul && tkn != tkn_div) {
            unget();
            return left;
        }
        int rightPos = nextTokenPos();
        dbExprNode* right = power();
        left = arithmetic(tkn, left, right, leftPos, rightPos);
    }
}

dbExprNode* dbCompiler::power()
{
    NestingGuard guard(this);
    int leftPos = nextTokenPos();
    dbExprNode* left = term();
    if (scan() != tkn_power) {
        unget();
        return left;
    }
    int rightPos = nextTokenPos();
    dbExprNode* right = power();
    return arithmetic(tkn_power, left, right, leftPos, rightPos);
}

dbExprNode* dbCompiler::loadField(dbExprNode* base, dbFieldDescriptor* fd, dbFieldDescriptor*& structure)
{
    structure = nullptr;
    if (fd->type == dbField::tpStructure) {
        // No node yet: a component must follow.
        structure = fd;
        return base;
    }
    if (fd->type == dbField::tpRawBinary)
        return fieldNode(base != nullptr ? dbvmLoadRawBinary : dbvmLoadSelfRawBinary, tpRawBinary, base, fd);
    int type = exprTypeOf(fd->type);
    if (type == tpAddress) error("Field not found");
    return fieldNode(base != nullptr ? fd->type : fd->type + dbvmLoadSelfBool, type, base, fd);
}

dbExprNode* dbCompiler::path(dbExprNode* expr, dbTableDescriptor* refTable, dbFieldDescriptor* structure)
{
    for (;;) {
        int tkn = scan();
        if (tkn == tkn_dot) {
            if (scan() != tkn_ident) error("identifier expected");
            int pos = tokenPos;
            dbFieldDescriptor* fd;
            dbExprNode* base;
            if (structure != nullptr) {
                fd = structure->findComponent(name);
                if (fd == nullptr) error("Field not found", pos);
                base = expr;
            } else {
                if (expr == nullptr || expr->type != tpReference)
                    error("Left operand of '.' should be structure or reference", pos);
                dbTableDescriptor* target = refTable;
                if (target == nullptr && expr->cop <= dbvmLoadSelfRawBinary && expr->ref.field != nullptr)
                    target = expr->ref.field->refTable;
                if (target == nullptr) error("Field not found", pos);
                fd = target->find(name);
                if (fd == nullptr) error("Field not found", pos);
                base = node(dbvmDeref, tpAddress, expr);
            }
            refTable = nullptr;
            expr = loadField(base, fd, structure);
        } else if (tkn == tkn_lbr) {
            if (structure != nullptr || expr == nullptr || (expr->type != tpArray && expr->type != tpString))
                error("Index can be applied only to arrays");
            int pos = nextTokenPos();
            dbExprNode* index = disjunction();
            if (scan() != tkn_rbr) error("']' expected");
            if (index->type != tpInteger) error("Index should have integer type", pos);
            if (expr->type == tpString) return node(dbvmCharAt, tpInteger, expr, index);
            if (expr->cop == dbvmVariableArray || expr->cop == dbvmVariableArrayPtr) {
                // An element of an array parameter: a reference into the
                // parameter's table.
                dbExprNode* at = node(dbvmGetAt, tpAddress, expr, index);
                at->offset = sizeof(oid_t);
                expr = fieldNode(dbvmLoadReference, tpReference, at, nullptr);
            } else {
                dbFieldDescriptor* elem = expr->ref.field->components;
                dbExprNode* at = node(dbvmGetAt, tpAddress, expr, index);
                at->offset = uint32_t(elem->storedSize);
                refTable = nullptr;
                expr = loadField(at, elem, structure);
            }
        } else {
            unget();
            if (structure != nullptr) error("'.' expected");
            return expr;
        }
    }
}

dbExprNode* dbCompiler::term()
{
    NestingGuard guard(this);
    int tkn = scan();
    if (tkn == tkn_where) {
        firstPos = currPos;
        tkn = scan();
    }
    int pos = tokenPos;
    switch (tkn) {
    case tkn_ident: {
        for (Binding* b = bindings; b != nullptr; b = b->next) {
            if (b->name == name) {
                b->used = true;
                dbExprNode* v = node(dbvmVariable, tpInteger);
                v->offset = uint32_t(b->index);
                return v;
            }
        }
        dbFieldDescriptor* fd = table->find(name);
        if (fd == nullptr) error("Field not found", pos);
        dbFieldDescriptor* structure;
        dbExprNode* expr = loadField(nullptr, fd, structure);
        return path(expr, nullptr, structure);
    }
    case tkn_lpar: {
        dbExprNode* expr = disjunction();
        int t = scan();
        while (t == tkn_comma) {
            dbExprNode* item = disjunction();
            expr = node(dbvmList, tpList, expr, item);
            t = scan();
        }
        if (t != tkn_rpar) error("')' expected");
        return expr;
    }
    case tkn_iconst: {
        dbExprNode* n = node(dbvmIntConst, tpInteger);
        n->ivalue = ivalue;
        return n;
    }
    case tkn_fconst: {
        dbExprNode* n = node(dbvmRealConst, tpReal);
        n->fvalue = fvalue;
        return n;
    }
    case tkn_sconst:
        return path(stringConst(svalue), nullptr, nullptr);
    case tkn_add:
        error("Using of unary plus operator has no sence", pos);
    case tkn_sub: {
        int p = nextTokenPos();
        dbExprNode* e = term();
        if (e->type == tpInteger) {
            if (e->cop == dbvmIntConst) {
                e->ivalue = int64_t(0 - uint64_t(e->ivalue));
                return e;
            }
            return node(dbvmNegInt, tpInteger, e);
        }
        if (e->type == tpReal) {
            if (e->cop == dbvmRealConst) {
                e->fvalue = -e->fvalue;
                return e;
            }
            return node(dbvmNegReal, tpReal, e);
        }
        error("Unary minus can be applied only to integer or real expressions", p);
    }
    case tkn_not: {
        int p = nextTokenPos();
        dbExprNode* e = comparison();
        if (e->type == tpBoolean) return node(dbvmNot, tpBoolean, e);
        if (e->type == tpInteger) {
            if (e->cop == dbvmIntConst) {
                e->ivalue = ~e->ivalue;
                return e;
            }
            return node(dbvmNotInt, tpInteger, e);
        }
        error("NOT operator can be applied only to integer or boolean expressions", p);
    }
    case tkn_null:
        return node(dbvmLoadNull, tpReference);
    case tkn_exists: {
        if (scan() != tkn_ident) error("Free variable name expected");
        if (existsDepth >= maxExistsNesting) error("Too many nested EXISTS clauses\n");
        Binding binding{bindings, name, false, existsDepth};
        if (scan() != tkn_col) error("':' expected");
        int p = nextTokenPos();
        bindings = &binding;
        existsDepth += 1;
        dbExprNode* body = term();
        if (body->type != tpBoolean) error("Expresion in EXISTS clause should be of boolean type", p);
        bindings = binding.next;
        existsDepth -= 1;
        if (!binding.used) return body;
        dbExprNode* n = node(dbvmExists, tpBoolean, body);
        n->offset = uint32_t(binding.index);
        return n;
    }
    case tkn_length:
    case tkn_lower:
    case tkn_upper:
    case tkn_abs:
    case tkn_integer:
    case tkn_real:
    case tkn_string: {
        int p = nextTokenPos();
        dbExprNode* e = term();
        switch (tkn) {
        case tkn_length:
            if (e->type == tpArray)
                e = node(dbvmLength, tpInteger, e);
            else if (e->type == tpString)
                e = node(dbvmStringLength, tpInteger, e);
            else
                error("LENGTH function is defined only for arrays and strings", p);
            break;
        case tkn_lower:
            if (e->type != tpString) error("LOWER function can be applied only to string argument", p);
            e = node(dbvmLowerString, tpString, e);
            break;
        case tkn_upper:
            if (e->type != tpString) error("UPPER function can be applied only to string argument", p);
            e = node(dbvmUpperString, tpString, e);
            break;
        case tkn_abs:
            if (e->type == tpInteger)
                e = node(dbvmAbsInt, tpInteger, e);
            else if (e->type == tpReal)
                e = node(dbvmAbsReal, tpReal, e);
            else
                error("ABS function can be applied only to integer or real expression", p);
            break;
        case tkn_integer:
            if (e->type != tpReal) error("INTEGER function can be applied only to expression of real type", p);
            e = node(dbvmRealToInt, tpInteger, e);
            break;
        case tkn_real:
            if (e->type != tpInteger) error("REAL function can be applied only to expression of integer type", p);
            e = node(dbvmIntToReal, tpReal, e);
            break;
        default:
            if (e->type == tpInteger)
                e = node(dbvmIntToString, tpString, e);
            else if (e->type == tpReal)
                e = node(dbvmRealToString, tpString, e);
            else
                error("STRING function can be applied only to integer or real expression", p);
            break;
        }
        return path(e, nullptr, nullptr);
    }
    case tkn_first:
        return path(node(dbvmFirst, tpReference), table, nullptr);
    case tkn_last:
        return path(node(dbvmLast, tpReference), table, nullptr);
    case tkn_current:
        return path(node(dbvmCurrent, tpReference), table, nullptr);
    case tkn_var: {
        static const uint8_t types[] = {tpVoid,   tpBoolean, tpInteger, tpInteger,   tpInteger,
                                        tpInteger, tpReal,   tpReal,    tpString,    tpString,
                                        tpReference, tpArray, tpArray,  tpRawBinary};
        int kind = varType >= dbQueryElement::qVarBool && varType <= dbQueryElement::qVarRawData ? varType : 0;
        if (kind == 0) error("operand expected");
        dbExprNode* n = node(dbvmVariableBool + kind - 1, types[kind]);
        n->var = varPtr;
        return path(n, varRefTable, nullptr);
    }
    case tkn_true:
        return node(dbvmLoadTrue, tpBoolean);
    case tkn_false:
        return node(dbvmLoadFalse, tpBoolean);
    case tkn_start:
    case tkn_order:
    case tkn_eof:
        unget();
        return node(dbvmVoid, tpVoid);
    default:
        error("operand expected");
    }
}

void dbCompiler::startFrom()
{
    if (scan() != tkn_from) error("FROM expected after START");
    int tkn = scan();
    if (tkn == tkn_first) {
        startKind = dbCompiledQuery::StartFromFirst;
    } else if (tkn == tkn_last) {
        startKind = dbCompiledQuery::StartFromLast;
    } else if (tkn == tkn_var) {
        if (varType == dbQueryElement::qVarReference) {
            if (!sameTable(varRefTable, table)) error("Incompatiable type of reference variable");
            startKind = dbCompiledQuery::StartFromRef;
        } else if (varType == dbQueryElement::qVarArrayOfRef || varType == dbQueryElement::qVarArrayOfRefPtr) {
            if (!sameTable(varRefTable, table)) error("Incompatiable type of array of reference variable");
            startKind = varType == dbQueryElement::qVarArrayOfRef ? dbCompiledQuery::StartFromArray
                                                                  : dbCompiledQuery::StartFromArrayPtr;
        } else {
            error("Reference or array of reference variable expected");
        }
        startVariable = varPtr;
    } else {
        error("FIRST, LAST or reference varaible expected");
    }
    if (scan() != tkn_follow) {
        unget();
        return;
    }
    if (scan() != tkn_by) error("BY expected after FOLLOW");
    do {
        if (scan() != tkn_ident) error("Field name expected");
        dbFieldDescriptor* fd = table->find(name);
        if (fd == nullptr) error("Field not found");
        while (fd->type == dbField::tpStructure) {
            if (scan() != tkn_dot) error("'.' expected");
            if (scan() != tkn_ident) error("Field name expected");
            fd = fd->findComponent(name);
            if (fd == nullptr) error("Field not found");
        }
        bool compatible =
            (fd->type == dbField::tpReference && sameTable(fd->refTable, table)) ||
            (fd->type == dbField::tpArray && fd->components->type == dbField::tpReference &&
             sameTable(fd->components->refTable, table));
        if (!compatible) error("Follow field should be of compatibale reference or array of reference type");
        auto* f = new dbFollowByNode;
        f->field = fd;
        f->next = follow;
        follow = f;
    } while (scan() == tkn_comma);
    unget();
}

void dbCompiler::orderBy()
{
    if (scan() != tkn_by) error("BY expected after ORDER");
    int parentheses = 0;
    dbOrderByNode** link = &order;
    do {
        if (scan() == tkn_lpar)
            parentheses += 1;
        else
            unget();
        int pos = nextTokenPos();
        dbExprNode* expr = disjunction();
        auto* key = new dbOrderByNode;
        key->table = table;
        *link = key;
        link = &key->next;
        int tkn = scan();
        if (tkn == tkn_desc)
            key->ascent = false;
        else if (tkn != tkn_asc)
            unget();
        if (scan() == tkn_rpar) {
            if (parentheses == 0) error("Unbalanced parentheses ");
            parentheses -= 1;
        } else {
            unget();
        }
        if ((expr->cop >= dbvmLoadSelfBool && expr->cop <= dbvmLoadSelfArray) || expr->cop == dbvmLoadSelfRawBinary) {
            DB_ASSERT(expr->ref.field != NULL);
            key->field = expr->ref.field;
            discard(expr);
        } else if (expr->cop == dbvmLength && expr->operand[0]->cop == dbvmLoadSelfArray) {
            // Arrays are ordered by their element count.
            key->field = expr->operand[0]->ref.field;
            discard(expr->operand[0]);
            discard(expr);
        } else if (expr->type == tpInteger || expr->type == tpBoolean || expr->type == tpReal ||
                   expr->type == tpString || expr->type == tpReference) {
            key->expr = expr;
        } else {
            error("Expressions in ORDER BY part should have scalar type", pos);
        }
    } while (scan() == tkn_comma);
    unget();
}

bool dbCompiler::compile(dbDatabase* database, dbTableDescriptor* tbl, dbQuery& query)
{
    query.destroy();
    db = database;
    table = tbl;
    element = query.getElements();
    currPos = firstPos = lineOffset = tokenPos = 0;
    hasToken = false;
    bindings = nullptr;
    existsDepth = 0;
    nesting = 0;
    order = nullptr;
    follow = nullptr;
    startKind = dbCompiledQuery::StartFromAny;
    startVariable = nullptr;
    created.clear();
    try {
        dbExprNode* expr = disjunction();
        if (expr->type != tpBoolean && expr->type != tpVoid)
            errorAt("Conditional expression should have boolean type\n", 0);
        if (scan() == tkn_start)
            startFrom();
        else
            unget();
        if (scan() == tkn_order)
            orderBy();
        else
            unget();
        dbOrderByNode* keys = order;
        dbFollowByNode* follows = follow;
        cleanUp(false);
        query.tree = expr;
        query.order = keys;
        query.follow = follows;
        query.table = table;
        query.startFrom = startKind;
        query.startVariable = startVariable;
        return true;
    } catch (Failure&) {
        cleanUp(true);
        return false;
    } catch (...) {
        cleanUp(true);
        throw;
    }
}
