// The query compiler: query text (with bound parameters) to the compiled
// tree, written compactly, or to the exact error message and position.

#include <gtest/gtest.h>

#include <deque>

#include <cstdio>
#include <string>
#include <vector>

#include "engine286/compiler.h"
#include "engine286/datetime.h"
#include "engine286/describe.h"
#include "engine286/query.h"

namespace {

struct Part {
    const char* label;
    int32_t weight;
    int32_t first;  // named like a keyword, interned before the keywords
    DB_TABLE_MEMBERS;
};

struct Item {
    int32_t x;
    int8_t i1;
    int16_t i2;
    int64_t i8;
    float r4;
    double r8;
    bool flag;
    const char* name;
    const char* id;
    dbReference<Item> next;
    dbReference<Part> part;
    dbDateTime when;
    dbArray<int32_t> nums;
    dbArray<int8_t> bytes;
    dbArray<double> reals;
    dbArray<dbReference<Item>> links;
    dbArray<dbReference<Part>> parts;
    unsigned char key[8];
    DB_TABLE_MEMBERS;
};

DB_DETACHED_TABLE(Part, "Part")
DB_DETACHED_TABLE(Item, "Item")

dbFieldDescriptor* Part::describeFields()
{
    return dbFields<Part>().field("label", &Part::label).field("weight", &Part::weight).field("first", &Part::first);
}

dbFieldDescriptor* Item::describeFields()
{
    dbFieldDescriptor* fields = dbFields<Item>()
                                    .field("x", &Item::x)
                                    .field("i1", &Item::i1)
                                    .field("i2", &Item::i2)
                                    .field("i8", &Item::i8)
                                    .field("r4", &Item::r4)
                                    .field("r8", &Item::r8)
                                    .field("flag", &Item::flag)
                                    .field("name", &Item::name)
                                    .field("id", &Item::id)
                                    .field("next", &Item::next)
                                    .field("part", &Item::part)
                                    .field("when", &Item::when)
                                    .field("nums", &Item::nums)
                                    .field("bytes", &Item::bytes)
                                    .field("reals", &Item::reals)
                                    .field("links", &Item::links)
                                    .field("parts", &Item::parts);
    // Raw-bytes fields have no describe helper; the descriptor is made by hand.
    auto* key = new dbFieldDescriptor("key", dbOffsetOf(&Item::key), 8, 0);
    key->type = key->appType = dbField::tpRawBinary;
    return fields->join(key);
}

// Records the reported errors instead of printing them.
class RecordingDatabase : public dbDatabase {
public:
    void handleError(int error, const char* msg, int arg) override
    {
        if (error == errQuery) {
            messages.push_back(msg);
            positions.push_back(arg);
            return;
        }
        dbDatabase::handleError(error, msg, arg);
    }
    std::vector<std::string> messages;
    std::vector<int> positions;
};

const char* opName(int cop)
{
    switch (cop) {
    case dbvmInArrayBool: return "in.bool";
    case dbvmInArrayInt1: return "in.int1";
    case dbvmInArrayInt2: return "in.int2";
    case dbvmInArrayInt4: return "in.int4";
    case dbvmInArrayInt8: return "in.int8";
    case dbvmInArrayReal4: return "in.real4";
    case dbvmInArrayReal8: return "in.real8";
    case dbvmInArrayString: return "in.str";
    case dbvmInArrayReference: return "in.ref";
    case dbvmInString: return "in";
    case dbvmLength: return "length";
    case dbvmStringLength: return "strlen";
    case dbvmOr: return "or";
    case dbvmAnd: return "and";
    case dbvmNot: return "not";
    case dbvmIsNull: return "isnull";
    case dbvmNegInt: return "neg";
    case dbvmAddInt: return "+";
    case dbvmSubInt: return "-";
    case dbvmMulInt: return "*";
    case dbvmDivInt: return "/";
    case dbvmAndInt: return "&";
    case dbvmOrInt: return "|";
    case dbvmNotInt: return "~";
    case dbvmAbsInt: return "abs";
    case dbvmPowerInt: return "^";
    case dbvmEqInt: return "=";
    case dbvmNeInt: return "<>";
    case dbvmGtInt: return ">";
    case dbvmGeInt: return ">=";
    case dbvmLtInt: return "<";
    case dbvmLeInt: return "<=";
    case dbvmBetweenInt: return "between";
    case dbvmNegReal: return "neg.r";
    case dbvmAddReal: return "+.r";
    case dbvmSubReal: return "-.r";
    case dbvmMulReal: return "*.r";
    case dbvmDivReal: return "/.r";
    case dbvmAbsReal: return "abs.r";
    case dbvmPowerReal: return "^.r";
    case dbvmPowerRealInt: return "^.ri";
    case dbvmEqBinary: return "=.raw";
    case dbvmNeBinary: return "<>.raw";
    case dbvmGtBinary: return ">.raw";
    case dbvmGeBinary: return ">=.raw";
    case dbvmLtBinary: return "<.raw";
    case dbvmLeBinary: return "<=.raw";
    case dbvmBetweenBinary: return "between.raw";
    case dbvmEqReal: return "=.r";
    case dbvmNeReal: return "<>.r";
    case dbvmGtReal: return ">.r";
    case dbvmGeReal: return ">=.r";
    case dbvmLtReal: return "<.r";
    case dbvmLeReal: return "<=.r";
    case dbvmBetweenReal: return "between.r";
    case dbvmEqBool: return "=.b";
    case dbvmNeBool: return "<>.b";
    case dbvmEqReference: return "=.ref";
    case dbvmNeReference: return "<>.ref";
    case dbvmEqString: return "=.s";
    case dbvmNeString: return "<>.s";
    case dbvmGtString: return ">.s";
    case dbvmGeString: return ">=.s";
    case dbvmLtString: return "<.s";
    case dbvmLeString: return "<=.s";
    case dbvmBetweenString: return "between.s";
    case dbvmLikeString: return "like";
    case dbvmLikeEscapeString: return "like.esc";
    case dbvmUpperString: return "upper";
    case dbvmLowerString: return "lower";
    case dbvmIntToReference: return "ref";
    case dbvmIntToReal: return "real";
    case dbvmRealToInt: return "int";
    case dbvmIntToString: return "string";
    case dbvmRealToString: return "string.r";
    case dbvmStringConcat: return "||";
    default: return nullptr;
    }
}

const char* paramName(int cop)
{
    static const char* names[] = {"$bool", "$int1", "$int2", "$int4", "$int8", "$real4", "$real8",
                                  "$str",  "$pstr", "$ref",  "$refs", "$prefs", "$raw"};
    return names[cop - dbvmVariableBool];
}

// Writes a tree compactly: fields by name, "->" for a dereference, "[i]" for
// an element, constants as written, operators as (op operands...).
std::string show(const dbExprNode* n)
{
    if (n->cop <= dbvmLoadRawBinary && !(n->cop >= dbvmInvokeMethodBool && n->cop <= dbvmInvokeMethodReference)) {
        const dbExprNode* base = n->ref.base;
        const char* name = n->ref.field != nullptr ? n->ref.field->name : "";
        if (base->cop == dbvmDeref) return show(base->operand[0]) + "->" + name;
        if (std::string(name) == "[]" || *name == '\0') return show(base);
        return show(base) + "." + name;
    }
    if (n->cop >= dbvmInvokeMethodBool && n->cop <= dbvmInvokeMethodReference) {
        const dbExprNode* base = n->ref.base;
        std::string b = base->cop == dbvmDeref ? show(base->operand[0]) + "->" : show(base) + ".";
        return b + n->ref.field->name + "()";
    }
    if (n->cop >= dbvmLoadSelfBool && n->cop <= dbvmLoadSelfRawBinary) {
        std::string name = n->ref.field->qualifiedName;
        return n->cop >= dbvmInvokeSelfMethodBool && n->cop <= dbvmInvokeSelfMethodReference ? name + "()" : name;
    }
    if (n->cop >= dbvmVariableBool && n->cop <= dbvmVariableRawBinary) return paramName(n->cop);
    char buf[64];
    switch (n->cop) {
    case dbvmGetAt: return show(n->operand[0]) + "[" + show(n->operand[1]) + "]";
    case dbvmCharAt: return show(n->operand[0]) + "[" + show(n->operand[1]) + "]";
    case dbvmLoadTrue: return "true";
    case dbvmLoadFalse: return "false";
    case dbvmCurrent: return "current";
    case dbvmFirst: return "first";
    case dbvmLast: return "last";
    case dbvmLoadNull: return "null";
    case dbvmIntConst: std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(n->ivalue)); return buf;
    case dbvmRealConst: std::snprintf(buf, sizeof buf, "%g", n->fvalue); return buf;
    case dbvmStringConst: return "'" + std::string(n->svalue.str) + "'";
    case dbvmVariable: std::snprintf(buf, sizeof buf, "%%%u", n->offset); return buf;
    case dbvmExists: std::snprintf(buf, sizeof buf, "(exists%u ", n->offset); return buf + show(n->operand[0]) + ")";
    case dbvmVoid: return "<all>";
    default: break;
    }
    const char* op = opName(n->cop);
    if (op == nullptr) return "?" + std::to_string(n->cop);
    std::string s = std::string("(") + op;
    for (int i = 0; i < dbExprNode::operandCount(n->cop); i++) s += " " + show(n->operand[i]);
    return s + ")";
}

std::string show(const dbQuery& q)
{
    std::string s = show(q.tree);
    static const char* starts[] = {"", "first", "last", "$ref", "$refs", "$prefs"};
    if (q.startFrom != dbCompiledQuery::StartFromAny) {
        s += std::string(" | start ") + starts[q.startFrom];
        if (q.follow != nullptr) {
            s += " follow";
            for (dbFollowByNode* f = q.follow; f != nullptr; f = f->next) s += std::string(" ") + f->field->name;
        }
    }
    if (q.order != nullptr) {
        s += " | order";
        for (dbOrderByNode* o = q.order; o != nullptr; o = o->next) {
            s += " " + (o->field != nullptr ? std::string(o->field->qualifiedName) : show(o->expr));
            if (!o->ascent) s += " desc";
        }
    }
    return s;
}

// Bound variables of every kind, taken by the placeholders of the cases.
struct Variables {
    bool b = true;
    int8_t i1 = 1;
    int16_t i2 = 2;
    int32_t i4 = 4;
    int64_t i8 = 8;
    float r4 = 4.5f;
    double r8 = 8.5;
    const char* s = "text";
    dbReference<Item> item;
    dbReference<Part> part;
    dbArray<dbReference<Item>> items;
    dbArray<dbReference<Item>>* itemsPtr = &items;
    dbArray<dbReference<Part>> parts;
    unsigned char raw[8] = {};
};

// Builds the query from text in which {kind} stands for a bound variable:
// {bool} {int1} {int2} {int4} {int8} {real4} {real8} {str} (a string value)
// {pstr} {ref} {partref} {refs} {prefs} {partrefs} {raw}.
void build(dbQuery& q, const std::string& text, Variables& v)
{
    q.reset();
    size_t pos = 0;
    for (;;) {
        size_t open = text.find('{', pos);
        std::string piece = text.substr(pos, open == std::string::npos ? std::string::npos : open - pos);
        static std::deque<std::string> keep;  // text elements point into these; a deque never moves them
        keep.push_back(piece);
        q.append(dbQueryElement::qText, keep.back().c_str());
        if (open == std::string::npos) return;
        size_t close = text.find('}', open);
        std::string kind = text.substr(open + 1, close - open - 1);
        if (kind == "bool") q, v.b;
        else if (kind == "int1") q, v.i1;
        else if (kind == "int2") q, v.i2;
        else if (kind == "int4") q, v.i4;
        else if (kind == "int8") q, v.i8;
        else if (kind == "real4") q, v.r4;
        else if (kind == "real8") q, v.r8;
        else if (kind == "str") q, v.s;
        else if (kind == "pstr") q, &v.s;
        else if (kind == "ref") q, v.item;
        else if (kind == "partref") q, v.part;
        else if (kind == "refs") q, v.items;
        else if (kind == "prefs") q, v.itemsPtr;
        else if (kind == "partrefs") q, v.parts;
        else if (kind == "raw") q.addRaw(v.raw);
        else ADD_FAILURE() << "unknown placeholder " << kind;
        pos = close + 1;
    }
}

class QueryCompilerTest : public ::testing::Test {
protected:
    // The compiled shape, or "error: message @ position".
    std::string compile(const std::string& text)
    {
        dbQuery q;
        build(q, text, vars);
        db.messages.clear();
        db.positions.clear();
        bool ok = compiler.compile(&db, &Item::dbDescriptor, q);
        if (!ok) {
            if (db.messages.size() != 1) return "error without a single message";
            return "error: " + db.messages[0] + " @ " + std::to_string(db.positions[0]);
        }
        if (!db.messages.empty()) return "message without an error: " + db.messages[0];
        return show(q);
    }
    RecordingDatabase db;
    dbCompiler compiler;
    Variables vars;
};

struct Case {
    const char* text;
    const char* expected;
};

TEST_F(QueryCompilerTest, CompilesToTheExpectedTree)
{
    const Case cases[] = {
        // The empty condition, ORDER BY and what is ignored after the query.
        {"order by x desc", "<all> | order x desc"},
        {"", "<all>"},
        {"x = 1 xyz", "(= x 1)"},
        {"x = 1 AND flag", "(= x 1)"},  // keywords are lower case: AND is a name
        {"x = 1 order by name desc extra", "(= x 1) | order name desc"},
        {"order by (name) desc", "<all> | order name"},
        {"order by x, name desc, r8 asc", "<all> | order x name desc r8"},
        {"order by lower(name)", "<all> | order (lower name)"},
        {"order by when.stamp desc", "<all> | order when.stamp desc"},
        {"order by when.year desc", "<all> | order when.year() desc"},
        {"order by length(nums)", "<all> | order nums"},
        {"order by next, key", "<all> | order next key"},
        {"order by (x, name)", "<all> | order x name"},
        {"order by (x)) desc", "<all> | order x"},  // one ')' per key
        {"where x = 1", "(= x 1)"},
        // Scanning: strings, numbers, comments, line breaks.
        {"name = 'it''s'", "(=.s name 'it's')"},
        {"name = 'first line\nsecond'", "(=.s name 'first line\nsecond')"},
        {"x = 123456789", "(= x 123456789)"},
        {"x = 1234567890", "(= x 1234567890)"},
        {"x = 9223372036854775807", "(= x 9223372036854775807)"},
        {"r8 = 1e3", "(=.r r8 1000)"},
        {"x = 1 -- comment", "(= x 1)"},
        {"x = 1 -- and y = 2\n and flag", "(and (= x 1) flag)"},
        {"x=1and(flag)", "(and (= x 1) flag)"},
        {"name <> 'a' and x != 2 and x >= 1 and x <= 9 and x > 0 and x < 10",
         "(and (<>.s name 'a') (and (<> x 2) (and (>= x 1) (and (<= x 9) (and (> x 0) (< x 10))))))"},
        // LIKE, NOT, IS NULL.
        {"name like '%ab%'", "(like name '%ab%')"},
        {"name not like 'a%'", "(not (like name 'a%'))"},
        {"name like 'a\\%' escape '\\'", "(like.esc name 'a\\%' '\\')"},
        {"not flag", "(not flag)"},
        {"next is null", "(isnull next)"},
        {"next is not null", "(not (isnull next))"},
        {"x not between 1 and 2", "(not (between x 1 2))"},
        {"x not in nums", "(not (in.int4 x nums))"},
        // Constants folded, conversions made.
        {"x = -1", "(= x -1)"},
        {"x = - x", "(= x (neg x))"},
        {"r8 = -1.5", "(=.r r8 -1.5)"},
        {"r8 = - r8", "(=.r r8 (neg.r r8))"},
        {"x = not 0", "(= x -1)"},
        {"x = not x", "(= x (~ x))"},
        {"(x and 3) = 1 or (x or 4) = 5", "(or (= (& x 3) 1) (= (| x 4) 5))"},
        {"x + 1.5 = 2", "(=.r (+.r (real x) 1.5) 2)"},
        {"r4 = r8", "(=.r r4 r8)"},
        {"x * 2 / 3 - 1 = 0", "(= (- (/ (* x 2) 3) 1) 0)"},
        {"i1 + i2 + i8 = x", "(= (+ (+ i1 i2) i8) x)"},
        {"x ^ 2 ^ 3 = 1", "(= (^ x (^ 2 3)) 1)"},
        {"r8 ^ 2 = 1", "(=.r (^.ri r8 2) 1)"},
        {"2 ^ 0.5 = 1", "(=.r (^.r 2 0.5) 1)"},
        {"name + 'x' = 'ax'", "(=.s (|| name 'x') 'ax')"},
        {"name || 'x' = 'ax'", "(=.s (|| name 'x') 'ax')"},
        {"next = null", "(=.ref next null)"},
        {"next = 5", "(=.ref next (ref 5))"},
        {"flag = true", "(=.b flag true)"},
        {"flag <> false", "(<>.b flag false)"},
        {"x between 1 and 5", "(between x 1 5)"},
        {"r8 between 1 and 2", "(between.r r8 1 2)"},
        {"name between 'a' and 'b'", "(between.s name 'a' 'b')"},
        // Functions.
        {"length(name) = 0", "(= (strlen name) 0)"},
        {"length(nums) = 0", "(= (length nums) 0)"},
        {"upper(name) = 'A' or lower(name) = 'a'", "(or (=.s (upper name) 'A') (=.s (lower name) 'a'))"},
        {"abs(x) = 1", "(= (abs x) 1)"},
        {"abs(r8) = 1", "(=.r (abs.r r8) 1)"},
        {"integer(r8) = 1", "(= (int r8) 1)"},
        {"real(x) = 1.5", "(=.r (real x) 1.5)"},
        {"string(x) = '1'", "(=.s (string x) '1')"},
        {"string(r8) = '1'", "(=.s (string.r r8) '1')"},
        {"name[0] = 97", "(= name[0] 97)"},
        {"'abc'[1] = 98", "(= 'abc'[1] 98)"},
        // IN: strings, arrays and lists rewritten into equalities.
        {"x in (1, 2.5)", "(or (= x 1) (=.r (real x) 2.5))"},
        {"name in ('abc')", "(in name 'abc')"},
        {"name in ('a', 'b', 'c')", "(or (or (=.s name 'a') (=.s name 'b')) (=.s name 'c'))"},
        {"x in (next, 1)", "(or (=.ref (ref x) next) (= x 1))"},
        {"next in (1, next)", "(or (=.ref next (ref 1)) (=.ref next next))"},
        {"flag in (true, x = 1)", "(or (=.b flag true) (=.b flag (= x 1)))"},
        {"r8 in (1, 2.5)", "(or (=.r r8 1) (=.r r8 2.5))"},
        {"x in nums", "(in.int4 x nums)"},
        {"x in bytes", "(in.int1 x bytes)"},
        {"r8 in reals", "(in.real8 r8 reals)"},
        {"x in links", "(in.ref (ref x) links)"},
        {"next in {refs}", "(in.ref next $refs)"},
        {"next in {prefs}", "(in.ref next $prefs)"},
        // Paths through structures, references and arrays.
        {"when.year = 2004", "(= when.year() 2004)"},
        {"when.stamp = -1", "(= when.stamp -1)"},
        {"part.label = 'a'", "(=.s part->label 'a')"},
        {"next.next.x = 1", "(= next->next->x 1)"},
        {"next.when.year = 2004", "(= next->year() 2004)"},
        {"nums[1] = 3", "(= nums[1] 3)"},
        {"links[0].name = 'a'", "(=.s links[0]->name 'a')"},
        {"parts[x].weight = 1", "(= parts[x]->weight 1)"},
        {"first.x = 1 and last.x = 2 and current.x = 3",
         "(and (= first->x 1) (and (= last->x 2) (= current->x 3)))"},
        // Parameters go to the right of comparisons.
        {"{int4} < x", "(> x $int4)"},
        {"{real8} >= r8", "(<=.r r8 $real8)"},
        {"{str} = name", "(=.s name $str)"},
        {"{pstr} <> name", "(<>.s name $pstr)"},
        {"{ref} = next", "(=.ref next $ref)"},
        {"{int4} = x + 1", "(= (+ x 1) $int4)"},
        {"{raw} < key", "(>.raw key $raw)"},
        {"null = next", "(=.ref null next)"},
        {"{int1} = i1 and {int2} = i2 and {int8} = i8 and {real4} = r4 and {bool} = flag",
         "(and (= i1 $int1) (and (= i2 $int2) (and (= i8 $int8) (and (=.r r4 $real4) (=.b flag $bool)))))"},
        {"{ref}.name = 'a'", "(=.s $ref->name 'a')"},
        {"{prefs}[1].x = 2", "(= $prefs[1]->x 2)"},
        {"current = {ref}", "(=.ref current $ref)"},
        {"key = {raw}", "(=.raw key $raw)"},
        {"key between {raw} and {raw}", "(between.raw key $raw $raw)"},
        {"key in ({raw}, key)", "(or (=.raw key $raw) (=.raw key key))"},
        // EXISTS.
        {"exists i: (nums[i] = x)", "(exists0 (= nums[%0] x))"},
        {"exists i: flag", "flag"},
        {"exists i: exists j: (nums[i] = bytes[j])", "(exists0 (exists1 (= nums[%0] bytes[%1])))"},
        {"exists i: exists j: exists k: (nums[i] + nums[j] = nums[k])",
         "(exists0 (exists1 (exists2 (= (+ nums[%0] nums[%1]) nums[%2]))))"},
        // START FROM and FOLLOW BY (the list holds the fields in reverse).
        {"start from first follow by next, links order by x", "<all> | start first follow links next | order x"},
        {"start from last", "<all> | start last"},
        {"flag start from {ref} follow by next", "flag | start $ref follow next"},
        {"start from {refs}", "<all> | start $refs"},
        {"start from {prefs} order by x", "<all> | start $prefs | order x"},
    };
    for (const Case& c : cases) EXPECT_EQ(compile(c.text), c.expected) << c.text;
}

TEST_F(QueryCompilerTest, ReportsEveryErrorWithItsPosition)
{
    const Case cases[] = {
        // Scanner: positions are "here", the last character read.
        {"x ! 1", "Invalid token '!' @ 2"},
        {"name | 'a'", "Invalid token '|' @ 5"},
        {"name = 'abc", "Unterminated character constant @ 10"},
        {"'a''", "Unterminated character constant @ 3"},
        {"x = #", "Invalid symbol @ 4"},
        {"x = 1 !", "Invalid token '!' @ 6"},  // trailing tokens are still scanned
        // Operators: the position where the offending construct starts.
        {"x or flag", "Bad operands for OR operator @ 0"},
        {"flag and name", "Bad operands for AND operator @ 0"},
        {"flag and (x = 1 or name)", "Bad operands for OR operator @ 10"},
        {"{raw} = {raw}", "Operations with raw binary types should include at least one record field @ 0"},
        {"{raw} between key and key",
         "Operations with raw binary types should include at least one record field @ 0"},
        {"{raw} in ({raw}, {raw})", "Operations with raw binary types should include at least one record field @ 4"},
        {"x in (1, 'a')", "Expression 2 in right part of IN operator have incompatible type @ 5"},
        {"x in (flag, 2)", "Expression 1 in right part of IN operator have incompatible type @ 5"},
        {"x not = 1", "LIKE, BETWEEN or IN expected @ 6"},
        {"x is null", "IS [NOT] NULL predicate can be applied only to references @ 0"},
        {"next is not 1", "NULL expected @ 12"},
        {"next is 1", "[NOT] NULL expected @ 8"},
        {"name in nums", "Type of selective expression of IN operator doesn't match type of the array @ 0"},
        {"x in reals", "Type of selective expression of IN operator doesn't match type of the array @ 0"},
        {"x in 'abc'", "Left operand of IN expression hasn't string type @ 0"},
        {"x in 5", "List of expressions or array expected @ 5"},
        {"x between 1 or 2", "AND expected @ 13"},
        {"x between 1.5 and 'a'", "operand of BETWEEN operator should be of integer, real or string type @ 0"},
        {"x between 'a' and 'b'", "operands of BETWEEN operator should be of integer, real or string type @ 0"},
        {"x like 'a'", "operands of LIKE operator should be of string type @ 0"},
        {"name like 'a' escape x", "String literal espected after ESCAPE @ 21"},
        {"r8 = 'a'", "operands of relation operator should be of intger, real or string type @ 0"},
        {"next > null", "References can be checked only for equality @ 0"},
        {"flag > true", "Boolean variables can be checked only for equality @ 0"},
        {"x = 'a'", "operands of relation operator should be of integer, real or string type @ 0"},
        {"'a' + 1.5 = 1", "operands of arithmetic operators should be of integer or real type @ 0"},
        {"1.5 + 'a' = 1", "operands of arithmetic operator should be of integer or real type @ 6"},
        {"flag ^ 2 = 1", "operands of arithmetic operators should be of integer or real type @ 0"},
        {"name - 'a' = 'b'", "Operation - is not defined for strings @ 0"},
        {"x + name = 1", "operands of arithmentic operator should be of integer or real type @ 0"},
        {"name * 'a' = 'b'", "operands of arithmentic operator should be of integer or real type @ 0"},
        // Names and paths.
        {"next. = 1", "identifier expected @ 6"},
        {"y = 1", "Field not found @ 0"},
        {"ORDER BY x", "Field not found @ 0"},
        {"next.nothing = 1", "Field not found @ 5"},
        {"when.hour.x = 1", "Left operand of '.' should be structure or reference @ 10"},
        {"x.y = 1", "Left operand of '.' should be structure or reference @ 2"},
        {"x[1] = 1", "Index can be applied only to arrays @ 1"},
        {"when[1] = 1", "Index can be applied only to arrays @ 4"},
        {"nums[1 = 1", "']' expected @ 10"},
        {"nums['a'] = 1", "Index should have integer type @ 5"},
        {"when = 1", "'.' expected @ 5"},
        {"first.first = 1", "identifier expected @ 10"},  // a keyword even where a field has its name
        // EXISTS.
        {"exists i: exists j: exists k: exists l: true", "Too many nested EXISTS clauses\n @ 37"},
        {"exists i true", "':' expected @ 12"},
        {"exists i: nums[i] = x", "Expresion in EXISTS clause should be of boolean type @ 10"},
        {"exists 1: true", "Free variable name expected @ 7"},
        // Functions and unary operators: where the argument starts.
        {"abs name = 1", "ABS function can be applied only to integer or real expression @ 4"},
        {"length x = 1", "LENGTH function is defined only for arrays and strings @ 7"},
        {"integer x = 1", "INTEGER function can be applied only to expression of real type @ 8"},
        {"real r8 = 1", "REAL function can be applied only to expression of integer type @ 5"},
        {"string name = 'a'", "STRING function can be applied only to integer or real expression @ 7"},
        {"lower x = 'a'", "LOWER function can be applied only to string argument @ 6"},
        {"upper x = 'a'", "UPPER function can be applied only to string argument @ 6"},
        {"(x = 1", "')' expected @ 6"},
        {"not name", "NOT operator can be applied only to integer or boolean expressions @ 4"},
        {"x = +1", "Using of unary plus operator has no sence @ 4"},
        {"-name = 'a'", "Unary minus can be applied only to integer or real expressions @ 1"},
        {"x = )", "operand expected @ 4"},
        // START FROM and FOLLOW BY.
        {"start first", "FROM expected after START @ 10"},
        {"start from {partref}", "Incompatiable type of reference variable @ 0"},
        {"start from {partrefs}", "Incompatiable type of array of reference variable @ 0"},
        {"start from {int4}", "Reference or array of reference variable expected @ 0"},
        {"start from x", "FIRST, LAST or reference varaible expected @ 11"},
        {"start from first follow next", "BY expected after FOLLOW @ 27"},
        {"start from first follow by 1", "Field name expected @ 27"},
        {"start from first follow by nope", "Field not found @ 30"},
        {"start from first follow by when", "'.' expected @ 31"},
        {"start from first follow by when.", "Field name expected @ 32"},
        {"start from first follow by when.nope", "Field not found @ 35"},
        {"start from first follow by when.stamp",
         "Follow field should be of compatibale reference or array of reference type @ 36"},
        {"start from first follow by part",
         "Follow field should be of compatibale reference or array of reference type @ 30"},
        {"start from first follow by parts",
         "Follow field should be of compatibale reference or array of reference type @ 31"},
        // ORDER BY.
        {"order x", "BY expected after ORDER @ 6"},
        {"order by {refs}", "Expressions in ORDER BY part should have scalar type @ 0"},
        {"order by nums[0], when.year, (x = 1), {refs}", "Expressions in ORDER BY part should have scalar type @ 0"},
        {"order by", "Expressions in ORDER BY part should have scalar type @ 8"},
        {"order by x)", "Unbalanced parentheses  @ 10"},
        // The condition's type is checked last, at position 0.
        {"x + 1", "Conditional expression should have boolean type\n @ 0"},
        {"name order by x", "Conditional expression should have boolean type\n @ 0"},
        // A WHERE keyword: no position before the place after it.
        {"(where flag) or x", "Bad operands for OR operator @ 6"},
        {"where x = 'a'", "operands of relation operator should be of integer, real or string type @ 5"},
        // After a line feed positions count from the start of the line;
        // constructs that began on an earlier line keep their offset.
        {"x = 1 and\n  y = 2", "Field not found @ 2"},
        {"x = 1 --comment\n or y = 2", "Field not found @ 4"},
        {"x = 1 or\nname", "Bad operands for OR operator @ 0"},
        {"flag and\n  (x or\n   name) = 1", "Bad operands for OR operator @ 12"},
        // Every text element counts from 0.
        {"{int4} = x and {int4} = i2 and y = 1", "Field not found @ 10"},
        {"{int4} = x and name = {int4}", "operands of relation operator should be of integer, real or string type @ 9"},
    };
    for (const Case& c : cases) EXPECT_EQ(compile(c.text), std::string("error: ") + c.expected) << c.text;
}

TEST_F(QueryCompilerTest, LimitsOfConstantsAndNames)
{
    std::string text4096(4096, 'a'), text4097(4097, 'a');
    EXPECT_EQ(compile("name = '" + text4096 + "'"), "(=.s name '" + text4096 + "')");
    EXPECT_EQ(compile("name = '" + text4097 + "'"), "error: String constant too long @ 4104");
    // Doubled quotes count once.
    std::string quotes(2 * 4096, '\'');
    EXPECT_EQ(compile("name = '" + quotes + "'"), "(=.s name '" + std::string(4096, '\'') + "')");

    std::string name4096 = "n" + std::string(4095, 'x');
    EXPECT_EQ(compile(name4096 + " = 1"), "error: Field not found @ 0");
    EXPECT_EQ(compile(name4096 + "x = 1"), "error: Name too long @ 4096");
}

// Deep nesting and long chains end in an error instead of exhausting the
// stack, while ordinary depths compile.
TEST_F(QueryCompilerTest, NestingIsBounded)
{
    auto nested = [](int depth) { return std::string(size_t(depth), '(') + "flag" + std::string(size_t(depth), ')'); };
    EXPECT_EQ(compile(nested(100)), "flag");
    EXPECT_EQ(compile(nested(100000)).substr(0, 32), "error: Expression is too complex");

    auto chain = [](const char* item, const char* op, int n) {
        std::string s = item;
        for (int i = 1; i < n; i++) s += std::string(op) + item;
        return s;
    };
    EXPECT_EQ(compile(chain("flag", " or ", 200)).substr(0, 4), "(or ");
    EXPECT_EQ(compile(chain("flag", " or ", 100000)).substr(0, 32), "error: Expression is too complex");
    EXPECT_EQ(compile(chain("x", "+", 100000) + " = 1").substr(0, 32), "error: Expression is too complex");
    EXPECT_EQ(compile(chain("-", " ", 100000) + "x = 1").substr(0, 32), "error: Expression is too complex");
    EXPECT_EQ(compile("x in (" + chain("1", ",", 100000) + ")").substr(0, 32), "error: Expression is too complex");
    // Copies of the left side of IN lists multiply; their number is bounded too.
    std::string left = "(x in (1, 2, 3, 4))";
    for (int i = 0; i < 12; i++) left = "(" + left + " in (true, false, true, false))";
    EXPECT_EQ(compile(left).substr(0, 32), "error: Expression is too complex");
}

TEST(QueryObjectTest, StringsAfterTextAreValuesAndAfterVariablesText)
{
    int32_t n = 5;
    const char* code = "A1";
    dbQuery q;
    q = "x=", n, " and id=", code;
    q, " order by x";
    std::vector<std::pair<int, std::string>> elements;
    for (dbQueryElement* e = q.getElements(); e != nullptr; e = e->next)
        elements.push_back({e->type, e->type == dbQueryElement::qVarInt4 ? "" : static_cast<const char*>(e->ptr)});
    std::vector<std::pair<int, std::string>> expected = {{dbQueryElement::qText, "x="},
                                                         {dbQueryElement::qVarInt4, ""},
                                                         {dbQueryElement::qText, " and id="},
                                                         {dbQueryElement::qVarString, "A1"},
                                                         {dbQueryElement::qText, " order by x"}};
    EXPECT_EQ(elements, expected);

    // A path built as an expression is appended in parentheses.
    dbQueryExpression key;
    key = dbComponent("when", "stamp"), "desc";
    q = " order by", key;
    std::string tokens;
    for (dbQueryElement* e = q.getElements(); e != nullptr; e = e->next)
        tokens += std::string(static_cast<const char*>(e->ptr)) + "|";
    EXPECT_EQ(tokens, " order by|(|when|.|stamp|desc|)|");
    EXPECT_EQ(key.getElements(), nullptr);

    RecordingDatabase db;
    dbCompiler compiler;
    ASSERT_TRUE(compiler.compile(&db, &Item::dbDescriptor, q));
    EXPECT_EQ(show(q), "<all> | order when.stamp desc");
    q.reset();
    EXPECT_EQ(q.tree, nullptr);
    EXPECT_EQ(q.getElements(), nullptr);
    q.reset();  // never compiled since: only the (absent) elements go
}

// A failed compilation leaves no compiled form behind, and a later one of
// another query on the same compiler is unaffected.
TEST(QueryObjectTest, FailedCompilationLeavesNothingBehind)
{
    RecordingDatabase db;
    dbCompiler compiler;
    dbQuery q("x = 1 order by name");
    ASSERT_TRUE(compiler.compile(&db, &Item::dbDescriptor, q));
    dbQuery bad("x in (1, 2) and next.nothing = 1 order by name");
    EXPECT_FALSE(compiler.compile(&db, &Item::dbDescriptor, bad));
    EXPECT_EQ(bad.tree, nullptr);
    EXPECT_EQ(bad.order, nullptr);
    q = "order by lower(name) start";  // recompiling replaces the compiled form
    ASSERT_TRUE(compiler.compile(&db, &Item::dbDescriptor, q));
    EXPECT_EQ(show(q), "<all> | order (lower name)");
}

}  // namespace
