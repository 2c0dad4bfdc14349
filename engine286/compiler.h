#pragma once
// The query compiler: turns the element sequence of a dbQuery into an
// expression tree for one table, with the START FROM / FOLLOW BY part and the
// ORDER BY list; and the evaluator of those trees over stored rows.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine286/class.h"
#include "engine286/database.h"
#include "engine286/query.h"

// Result types of expression nodes.
enum dbExprType {
    tpInteger = 0,  // 64-bit
    tpBoolean = 1,
    tpReal = 2,     // 64-bit
    tpString = 3,
    tpReference = 4,
    tpArray = 5,
    tpRawBinary = 6,
    tpFreeVar = 7,  // an EXISTS variable (evaluated as an integer)
    tpList = 8,     // an expression list, only while compiling
    tpVoid = 9,     // the empty condition
    tpAddress = 10  // a row or array element address used as the base of a load
};

// Operation codes of expression nodes. The numbering is part of the design:
// loads and comparisons are computed from field types and relational tokens.
enum dbvmCode {
    // Component of a structure or of a referenced row, by field type (over a base).
    dbvmLoadBool = 0, dbvmLoadInt1, dbvmLoadInt2, dbvmLoadInt4, dbvmLoadInt8, dbvmLoadReal4, dbvmLoadReal8,
    dbvmLoadString, dbvmLoadReference, dbvmLoadArray,
    // Method of a component, by result type.
    dbvmInvokeMethodBool = 10, dbvmInvokeMethodInt1, dbvmInvokeMethodInt2, dbvmInvokeMethodInt4,
    dbvmInvokeMethodInt8, dbvmInvokeMethodReal4, dbvmInvokeMethodReal8, dbvmInvokeMethodString,
    dbvmInvokeMethodReference,
    dbvmLoadRawBinary = 19,
    // The same on the current row (no base).
    dbvmLoadSelfBool = 20, dbvmLoadSelfInt1, dbvmLoadSelfInt2, dbvmLoadSelfInt4, dbvmLoadSelfInt8,
    dbvmLoadSelfReal4, dbvmLoadSelfReal8, dbvmLoadSelfString, dbvmLoadSelfReference, dbvmLoadSelfArray,
    dbvmInvokeSelfMethodBool = 30, dbvmInvokeSelfMethodInt1, dbvmInvokeSelfMethodInt2, dbvmInvokeSelfMethodInt4,
    dbvmInvokeSelfMethodInt8, dbvmInvokeSelfMethodReal4, dbvmInvokeSelfMethodReal8, dbvmInvokeSelfMethodString,
    dbvmInvokeSelfMethodReference,
    dbvmLoadSelfRawBinary = 39,
    // Left IN array, by element type.
    dbvmInArrayBool = 40, dbvmInArrayInt1, dbvmInArrayInt2, dbvmInArrayInt4, dbvmInArrayInt8, dbvmInArrayReal4,
    dbvmInArrayReal8, dbvmInArrayString, dbvmInArrayReference,
    dbvmInString = 49,
    dbvmLength = 50, dbvmStringLength = 51,
    dbvmGetAt = 52, dbvmCharAt = 53,
    // Parameters: element kind + 53.
    dbvmVariableBool = 54, dbvmVariableInt1, dbvmVariableInt2, dbvmVariableInt4, dbvmVariableInt8,
    dbvmVariableReal4, dbvmVariableReal8, dbvmVariableString, dbvmVariableStringPtr, dbvmVariableReference,
    dbvmVariableArray, dbvmVariableArrayPtr, dbvmVariableRawBinary,
    dbvmVariableUnknown = 67,
    dbvmLoadTrue = 68, dbvmLoadFalse = 69,
    dbvmCurrent = 70, dbvmFirst = 71, dbvmLast = 72, dbvmLoadNull = 73,
    dbvmIntConst = 74, dbvmRealConst = 75, dbvmStringConst = 76,
    dbvmOr = 77, dbvmAnd = 78, dbvmNot = 79, dbvmIsNull = 80,
    dbvmNegInt = 81, dbvmAddInt, dbvmSubInt, dbvmMulInt, dbvmDivInt, dbvmAndInt, dbvmOrInt, dbvmNotInt, dbvmAbsInt,
    dbvmPowerInt = 90,
    dbvmEqInt = 91, dbvmNeInt, dbvmGtInt, dbvmGeInt, dbvmLtInt, dbvmLeInt, dbvmBetweenInt = 97,
    dbvmNegReal = 98, dbvmAddReal, dbvmSubReal, dbvmMulReal, dbvmDivReal, dbvmAbsReal,
    dbvmPowerReal = 104, dbvmPowerRealInt = 105,
    dbvmEqBinary = 106, dbvmNeBinary, dbvmGtBinary, dbvmGeBinary, dbvmLtBinary, dbvmLeBinary, dbvmBetweenBinary = 112,
    dbvmEqReal = 113, dbvmNeReal, dbvmGtReal, dbvmGeReal, dbvmLtReal, dbvmLeReal, dbvmBetweenReal = 119,
    dbvmEqBool = 120, dbvmNeBool = 121,
    dbvmEqReference = 122, dbvmNeReference = 123,
    dbvmEqString = 124, dbvmNeString, dbvmGtString, dbvmGeString, dbvmLtString, dbvmLeString,
    dbvmBetweenString = 130,
    dbvmLikeString = 131, dbvmLikeEscapeString = 132,
    dbvmUpperString = 133, dbvmLowerString = 134,
    dbvmIntToReference = 135, dbvmIntToReal = 136, dbvmRealToInt = 137, dbvmIntToString = 138,
    dbvmRealToString = 139,
    dbvmStringConcat = 140,
    dbvmDeref = 141,
    dbvmExists = 142, dbvmVariable = 143,
    dbvmList = 144,
    dbvmVoid = 169
};
constexpr int dbvmLastCode = dbvmVoid;

// A node of a compiled expression tree. Nodes come from the process-wide
// node allocator.
class dbExprNode {
public:
    uint8_t cop;
    uint8_t type;
    uint16_t height;  // of the subtree, to bound recursion over it
    uint32_t offset;  // stored offset of a load, element size, raw size or EXISTS level
    union {
        dbExprNode* operand[3];
        struct {
            dbExprNode* base;  // null for a field of the current row
            dbFieldDescriptor* field;
        } ref;
        struct {
            dbExprNode* operand[2];
            dbComparator comparator;
        } bin;  // raw-bytes comparisons
        struct {
            char* str;
            size_t size;  // including the terminating zero
        } svalue;
        int64_t ivalue;
        double fvalue;
        const void* var;  // address of a bound parameter
    };

    // Number of operand subtrees by operation code.
    static int operandCount(int cop);

    static void* operator new(size_t) { return dbExprNodeAllocator::instance().allocate(); }
    static void operator delete(void* p) { dbExprNodeAllocator::instance().release(p); }

    dbExprNode(int cop, int type);
    // Frees the node alone: its operands are left alone, its string constant is freed.
    ~dbExprNode();
    dbExprNode(const dbExprNode&) = delete;
    dbExprNode& operator=(const dbExprNode&) = delete;

    // Frees the node with all its operands.
    static void destroyTree(dbExprNode* node);
};

class dbAnyCursor;

// Compiles queries; one per thread, kept in the thread's database context.
class dbCompiler {
public:
    // Nesting of sub-expressions and height of the tree are bounded so that
    // neither compiling nor evaluating can exhaust the stack.
    static constexpr int maxNesting = 1000;
    static constexpr int maxHeight = 1000;
    static constexpr size_t maxNodes = 100000;
    static constexpr int maxStringLength = 4096;
    static constexpr int maxNameLength = 4096;
    static constexpr int maxExistsNesting = 3;

    dbCompiler();
    ~dbCompiler();
    dbCompiler(const dbCompiler&) = delete;
    dbCompiler& operator=(const dbCompiler&) = delete;

    // Replaces the query's compiled form by a compilation for `table`. On an
    // error the message is reported through db's error handler (class
    // errQuery, with its position) and false is returned.
    bool compile(dbDatabase* db, dbTableDescriptor* table, dbQuery& query);

    // The compiler of the calling thread for `db` (created on first use).
    static dbCompiler* forThread(dbDatabase* db);

private:
    struct Binding {
        Binding* next;
        const char* name;
        bool used;
        int index;
    };
    struct Failure {};

    // Scanner.
    int scan();
    void unget() { hasToken = true; }
    int nextTokenPos();
    int positionHere() const { return currPos > 0 ? currPos - 1 : 0; }
    [[noreturn]] void error(const char* msg, int pos = -1);
    [[noreturn]] void errorAt(const char* msg, int pos);
    int scanNumber(const char* p);
    int scanName(const char* p);
    int scanString(const char* p);

    // Grammar.
    dbExprNode* disjunction();
    dbExprNode* conjunction();
    dbExprNode* comparison();
    dbExprNode* sum();
    dbExprNode* product();
    dbExprNode* power();
    dbExprNode* term();
    dbExprNode* path(dbExprNode* expr, dbTableDescriptor* refTable, dbFieldDescriptor* structure);
    dbExprNode* loadField(dbExprNode* base, dbFieldDescriptor* fd, dbFieldDescriptor*& structure);
    dbExprNode* relation(dbExprNode* left, dbExprNode* right, int token, int leftPos);
    dbExprNode* between(dbExprNode* value, dbExprNode* low, dbExprNode* high, int pos);
    dbExprNode* in(dbExprNode* left, dbExprNode* right, int leftPos, int rightPos);
    dbExprNode* rewriteList(dbExprNode* left, dbExprNode* list, int rightPos);
    dbExprNode* equalItem(dbExprNode* l, dbExprNode* value, int n, int rightPos);
    dbExprNode* arithmetic(int token, dbExprNode* left, dbExprNode* right, int leftPos, int rightPos);
    void startFrom();
    void orderBy();

    // Nodes.
    dbExprNode* node(int cop, int type, dbExprNode* a = nullptr, dbExprNode* b = nullptr, dbExprNode* c = nullptr);
    dbExprNode* fieldNode(int cop, int type, dbExprNode* base, dbFieldDescriptor* fd);
    dbExprNode* stringConst(const std::string& text);
    dbExprNode* copy(const dbExprNode* n);
    dbExprNode* toReal(dbExprNode* n);
    // Frees a node made during this compilation (its operands stay).
    void discard(dbExprNode* n);
    void track(dbExprNode* n);
    void cleanUp(bool failed);

    dbDatabase* db = nullptr;
    dbTableDescriptor* table = nullptr;
    dbQueryElement* element = nullptr;
    int currPos = 0;
    int firstPos = 0;
    int lineOffset = 0;
    int tokenPos = 0;
    int64_t ivalue = 0;
    double fvalue = 0;
    std::string svalue;
    int lex = 0;
    bool hasToken = false;
    const char* name = nullptr;
    Binding* bindings = nullptr;
    int existsDepth = 0;
    int nesting = 0;
    int varType = 0;
    const void* varPtr = nullptr;
    dbTableDescriptor* varRefTable = nullptr;

    // The compiled parts.
    dbOrderByNode* order = nullptr;
    dbFollowByNode* follow = nullptr;
    int startKind = 0;
    const void* startVariable = nullptr;

    std::vector<dbExprNode*> created;  // nodes made by this compilation
    friend struct NestingGuard;
};

// ---- evaluation ------------------------------------------------------------

// Whether `condition` holds for row `oid` of the table whose stored table
// record is `tableRecord`; parameters are read relative to the cursor's
// parameter base. Errors throw dbException.
bool dbEvaluateCondition(dbDatabase* db, dbExprNode* condition, oid_t oid, const dbStoredTable* tableRecord,
                         dbAnyCursor* cursor);

// The evaluation context of one row: the row, its id, the table record, the
// scratch storage of the strings made while evaluating, and the state of
// the enclosing EXISTS loops. One context can be reused for many rows.
class dbInheritedAttribute {
public:
    static constexpr size_t bufferSize = 8192;

    byte* record = nullptr;
    oid_t oid = 0;
    const dbStoredTable* table = nullptr;
    dbDatabase* db;
    char* scratch = nullptr;  // chain of scratch strings that did not fit the buffer
    uintptr_t paramBase;
    size_t bufferUsed = 0;
    bool probing = false;  // errors unwind quietly (see the EXISTS loop)
    struct ExistsLevel {
        int64_t index;
        bool indexed;  // the body indexed through the variable in this round
    } exists[dbCompiler::maxExistsNesting];
    alignas(8) char buffer[bufferSize];

    dbInheritedAttribute(dbDatabase* db, const dbStoredTable* table, const void* paramBase)
        : table(table), db(db), paramBase(reinterpret_cast<uintptr_t>(paramBase))
    {
    }
    ~dbInheritedAttribute() { freeScratch(); }
    dbInheritedAttribute(const dbInheritedAttribute&) = delete;
    dbInheritedAttribute& operator=(const dbInheritedAttribute&) = delete;

    char* allocate(size_t size);
    void freeScratch()
    {
        if (scratch != nullptr) freeChainTo(nullptr);
        bufferUsed = 0;
    }
    // Frees the scratch strings allocated after `keep`.
    void freeChainTo(char* keep);
    // Positions the context on a row; scratch strings of the last row go.
    void setRow(oid_t id, byte* row)
    {
        oid = id;
        record = row;
        freeScratch();
    }
    // Evaluates a boolean expression for the current row.
    bool holds(dbExprNode* expr);
};

// The value of an ORDER BY expression key for the context's row.
struct dbExprValue {
    int type;
    int64_t ivalue;
    double fvalue;
    const char* str;
    oid_t oid;
};
dbExprValue dbEvaluateKey(dbInheritedAttribute& ctx, dbExprNode* expr);

// The LIKE matcher (exposed for tests of its corner cases): `escape` 0 means
// no escape character.
bool dbMatchLike(const char* text, const char* pattern, int escape);
// Whether `pattern` occurs in `text` (sizes include the terminating zeros).
bool dbFindSubstring(const char* pattern, size_t patternSize, const char* text, size_t textSize);
