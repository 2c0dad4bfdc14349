// Evaluation of compiled expression trees over stored rows. Fields are read
// in place from the mapped rows; strings made on the way live in the
// context's scratch storage.

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "engine286/compiler.h"
#include "engine286/cursor.h"

namespace {

// The result of a node.
struct Value {
    union {
        int64_t ivalue;
        double fvalue;
        int32_t bvalue;
        oid_t oid;
        struct {
            const char* base;
            size_t size;  // including the terminating zero
        } str;
        struct {
            byte* base;
            size_t count;
        } arr;
        byte* base;  // a row, an array element or raw bytes
    };
};

// Unwinds to the EXISTS loop of `level` when its variable indexes past the
// end of an array or string.
struct ExistsEnd {
    int level;
};

// Raised instead of reporting an error while probing the length of an
// array (see the EXISTS loop).
struct ProbeFailure {};

// The application's array object bound as a parameter.
struct AppArray {
    size_t count;
    byte* data;
};

inline uint32_t load32(const byte* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

template <class T>
inline T loadAs(const void* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Scratch storage in use at one point, to return to after a round of an
// EXISTS loop.
struct ScratchMark {
    dbInheritedAttribute& ctx;
    size_t used;
    char* chain;
    explicit ScratchMark(dbInheritedAttribute& c) : ctx(c), used(c.bufferUsed), chain(c.scratch) {}
    void restore();
};

[[noreturn]] void raise(dbInheritedAttribute& ctx, int error, const char* msg = nullptr, int arg = 0)
{
    if (ctx.probing) throw ProbeFailure();
    ctx.freeScratch();
    ctx.db->handleError(error, msg, arg);
    throw dbException(error, msg, arg);
}

char* copyToScratch(dbInheritedAttribute& ctx, const char* text, size_t size)
{
    char* s = ctx.allocate(size);
    std::memcpy(s, text, size);
    return s;
}

void execute(dbExprNode* expr, dbInheritedAttribute& ctx, Value& v);

// The arrays and strings that `body` indexes through the EXISTS variable of
// `level`.
void collectIndexed(dbExprNode* n, int level, std::vector<dbExprNode*>& out)
{
    if ((n->cop == dbvmGetAt || n->cop == dbvmCharAt) && n->operand[1]->cop == dbvmVariable &&
        int(n->operand[1]->offset) == level)
        out.push_back(n);
    int count = dbExprNode::operandCount(n->cop);
    for (int i = 0; i < count; i++) collectIndexed(n->operand[i], level, out);
}

// The greatest length of the arrays and strings that the body of an EXISTS
// indexes through its variable, as they are for the current index; an array
// that cannot be evaluated (a null reference on the way, say) counts as empty.
int64_t indexLimit(dbExprNode* body, int level, dbInheritedAttribute& ctx)
{
    std::vector<dbExprNode*> indexed;
    collectIndexed(body, level, indexed);
    int64_t limit = 0;
    bool saved = ctx.probing;
    ctx.probing = true;
    for (dbExprNode* n : indexed) {
        ScratchMark mark(ctx);
        Value a;
        try {
            execute(n->operand[0], ctx, a);
            int64_t length = n->cop == dbvmCharAt ? int64_t(a.str.size) - 1 : int64_t(a.arr.count);
            if (length > limit) limit = length;
        } catch (ExistsEnd&) {
        } catch (ProbeFailure&) {
        } catch (dbException&) {
        }
        mark.restore();
    }
    ctx.probing = saved;
    return limit;
}

// A field of `type` stored at `p` in the row or element at `base`.
inline void loadField(int type, byte* base, const byte* p, Value& v)
{
    switch (type) {
    case dbField::tpBool: v.bvalue = *p; break;
    case dbField::tpInt1: v.ivalue = int8_t(*p); break;
    case dbField::tpInt2: v.ivalue = loadAs<int16_t>(p); break;
    case dbField::tpInt4: v.ivalue = loadAs<int32_t>(p); break;
    case dbField::tpInt8: v.ivalue = loadAs<int64_t>(p); break;
    case dbField::tpReal4: v.fvalue = loadAs<float>(p); break;
    case dbField::tpReal8: v.fvalue = loadAs<double>(p); break;
    case dbField::tpString:
        v.str.base = reinterpret_cast<const char*>(base) + load32(p + 4);
        v.str.size = load32(p);
        break;
    case dbField::tpReference: v.oid = load32(p); break;
    case dbField::tpArray:
        v.arr.base = base + load32(p + 4);
        v.arr.count = load32(p);
        break;
    default: DB_ASSERT(false); break;
    }
}

void invokeMethod(dbInheritedAttribute& ctx, dbFieldDescriptor* fd, byte* base, Value& v)
{
    union {
        bool b;
        int8_t i1;
        int16_t i2;
        int32_t i4;
        int64_t i8;
        float r4;
        double r8;
        const char* s;
        oid_t oid;
    } result;
    std::memset(&result, 0, sizeof result);
    fd->method->invoke(base, &result);
    switch (fd->type - dbField::tpMethodBool) {
    case dbField::tpBool: v.bvalue = result.b; break;
    case dbField::tpInt1: v.ivalue = result.i1; break;
    case dbField::tpInt2: v.ivalue = result.i2; break;
    case dbField::tpInt4: v.ivalue = result.i4; break;
    case dbField::tpInt8: v.ivalue = result.i8; break;
    case dbField::tpReal4: v.fvalue = result.r4; break;
    case dbField::tpReal8: v.fvalue = result.r8; break;
    case dbField::tpString: {
        // String methods hand over a text allocated with new[].
        const char* text = result.s != nullptr ? result.s : "";
        size_t size = std::strlen(text) + 1;
        v.str.base = copyToScratch(ctx, text, size);
        v.str.size = size;
        delete[] result.s;
        break;
    }
    case dbField::tpReference: v.oid = result.oid; break;
    default: DB_ASSERT(false); break;
    }
}

// Looks for `left` among the elements of `array`, by element type.
bool findInArray(int elementType, const Value& left, const Value& array)
{
    const byte* p = array.arr.base;
    size_t n = array.arr.count;
    switch (elementType) {
    case dbField::tpBool: {
        byte wanted = left.bvalue != 0;
        for (size_t i = 0; i < n; i++)
            if (p[i] == wanted) return true;
        return false;
    }
    case dbField::tpInt1: {
        auto wanted = int8_t(uint8_t(uint64_t(left.ivalue)));
        for (size_t i = 0; i < n; i++)
            if (int8_t(p[i]) == wanted) return true;
        return false;
    }
    case dbField::tpInt2: {
        auto wanted = int16_t(uint16_t(uint64_t(left.ivalue)));
        for (size_t i = 0; i < n; i++)
            if (loadAs<int16_t>(p + 2 * i) == wanted) return true;
        return false;
    }
    case dbField::tpInt4: {
        auto wanted = int32_t(uint32_t(uint64_t(left.ivalue)));
        for (size_t i = 0; i < n; i++)
            if (loadAs<int32_t>(p + 4 * i) == wanted) return true;
        return false;
    }
    case dbField::tpInt8:
        for (size_t i = 0; i < n; i++)
            if (loadAs<int64_t>(p + 8 * i) == left.ivalue) return true;
        return false;
    case dbField::tpReal4: {
        auto wanted = float(left.fvalue);
        for (size_t i = 0; i < n; i++)
            if (loadAs<float>(p + 4 * i) == wanted) return true;
        return false;
    }
    case dbField::tpReal8:
        for (size_t i = 0; i < n; i++)
            if (loadAs<double>(p + 8 * i) == left.fvalue) return true;
        return false;
    case dbField::tpString:
        // Each element's text lies at the element's address plus its offset word.
        for (size_t i = 0; i < n; i++) {
            const byte* e = p + 8 * i;
            if (std::strcmp(reinterpret_cast<const char*>(e + load32(e + 4)), left.str.base) == 0) return true;
        }
        return false;
    case dbField::tpReference:
        for (size_t i = 0; i < n; i++)
            if (load32(p + 4 * i) == left.oid) return true;
        return false;
    default:
        DB_ASSERT(false);
        return false;
    }
}

int64_t powerInt(int64_t base, int64_t exponent)
{
    if (base == 2) return exponent >= 0 && exponent < 64 ? int64_t(uint64_t(1) << exponent) : 0;
    uint64_t e = uint64_t(exponent);
    if (exponent < 0) {
        base = base == -1 ? -1 : base == 1 ? 1 : 0;  // 1 / base in integer division
        e = 0 - e;
    }
    uint64_t result = 1;
    uint64_t b = uint64_t(base);
    while (e != 0) {
        if (e & 1) result *= b;
        b *= b;
        e >>= 1;
    }
    return int64_t(result);
}

double powerRealInt(double base, int64_t exponent)
{
    uint64_t e = uint64_t(exponent);
    if (exponent < 0) {
        base = 1 / base;
        e = 0 - e;
    }
    double result = 1;
    while (e != 0) {
        if (e & 1) result *= base;
        base *= base;
        e >>= 1;
    }
    return result;
}

// Truncation toward zero; values out of the 64-bit range saturate and
// not-a-number gives 0.
int64_t realToInt(double x)
{
    if (std::isnan(x)) return 0;
    if (x >= 9223372036854775808.0) return INT64_MAX;
    if (x <= -9223372036854775808.0) return INT64_MIN;
    return int64_t(x);
}

const byte* parameterAddress(const dbExprNode* expr, const dbInheritedAttribute& ctx)
{
    return reinterpret_cast<const byte*>(reinterpret_cast<uintptr_t>(expr->var) + ctx.paramBase);
}

void indexOutOfRange(dbInheritedAttribute& ctx, dbExprNode* index, int64_t i)
{
    if (index->cop == dbvmVariable) throw ExistsEnd{int(index->offset)};
    raise(ctx, dbDatabase::errIndexRange, nullptr, int(i));
}

void execute(dbExprNode* expr, dbInheritedAttribute& ctx, Value& v)
{
    Value l, r, h;
    switch (expr->cop) {
    case dbvmLoadBool:
    case dbvmLoadInt1:
    case dbvmLoadInt2:
    case dbvmLoadInt4:
    case dbvmLoadInt8:
    case dbvmLoadReal4:
    case dbvmLoadReal8:
    case dbvmLoadString:
    case dbvmLoadReference:
    case dbvmLoadArray:
        execute(expr->ref.base, ctx, l);
        loadField(expr->cop - dbvmLoadBool, l.base, l.base + expr->offset, v);
        return;
    case dbvmLoadSelfBool:
    case dbvmLoadSelfInt1:
    case dbvmLoadSelfInt2:
    case dbvmLoadSelfInt4:
    case dbvmLoadSelfInt8:
    case dbvmLoadSelfReal4:
    case dbvmLoadSelfReal8:
    case dbvmLoadSelfString:
    case dbvmLoadSelfReference:
    case dbvmLoadSelfArray:
        loadField(expr->cop - dbvmLoadSelfBool, ctx.record, ctx.record + expr->offset, v);
        return;
    case dbvmInvokeMethodBool:
    case dbvmInvokeMethodInt1:
    case dbvmInvokeMethodInt2:
    case dbvmInvokeMethodInt4:
    case dbvmInvokeMethodInt8:
    case dbvmInvokeMethodReal4:
    case dbvmInvokeMethodReal8:
    case dbvmInvokeMethodString:
    case dbvmInvokeMethodReference:
        execute(expr->ref.base, ctx, l);
        invokeMethod(ctx, expr->ref.field, l.base, v);
        return;
    case dbvmInvokeSelfMethodBool:
    case dbvmInvokeSelfMethodInt1:
    case dbvmInvokeSelfMethodInt2:
    case dbvmInvokeSelfMethodInt4:
    case dbvmInvokeSelfMethodInt8:
    case dbvmInvokeSelfMethodReal4:
    case dbvmInvokeSelfMethodReal8:
    case dbvmInvokeSelfMethodString:
    case dbvmInvokeSelfMethodReference:
        invokeMethod(ctx, expr->ref.field, ctx.record, v);
        return;
    case dbvmLoadRawBinary:
        execute(expr->ref.base, ctx, l);
        v.base = l.base + expr->offset;
        return;
    case dbvmLoadSelfRawBinary:
        v.base = ctx.record + expr->offset;
        return;

    case dbvmInArrayBool:
    case dbvmInArrayInt1:
    case dbvmInArrayInt2:
    case dbvmInArrayInt4:
    case dbvmInArrayInt8:
    case dbvmInArrayReal4:
    case dbvmInArrayReal8:
    case dbvmInArrayString:
    case dbvmInArrayReference:
        execute(expr->operand[0], ctx, l);
        execute(expr->operand[1], ctx, r);
        v.bvalue = findInArray(expr->cop - dbvmInArrayBool, l, r);
        return;
    case dbvmInString:
        execute(expr->operand[0], ctx, l);
        execute(expr->operand[1], ctx, r);
        v.bvalue = dbFindSubstring(l.str.base, l.str.size, r.str.base, r.str.size);
        return;
    case dbvmLength:
        execute(expr->operand[0], ctx, l);
        v.ivalue = int64_t(l.arr.count);
        return;
    case dbvmStringLength:
        execute(expr->operand[0], ctx, l);
        v.ivalue = int64_t(l.str.size) - 1;
        return;
    case dbvmGetAt: {
        execute(expr->operand[0], ctx, l);
        dbExprNode* index = expr->operand[1];
        execute(index, ctx, r);
        if (index->cop == dbvmVariable) ctx.exists[index->offset].indexed = true;
        if (uint64_t(r.ivalue) >= l.arr.count) indexOutOfRange(ctx, index, r.ivalue);
        v.base = l.arr.base + size_t(r.ivalue) * expr->offset;
        return;
    }
    case dbvmCharAt: {
        execute(expr->operand[0], ctx, l);
        dbExprNode* index = expr->operand[1];
        execute(index, ctx, r);
        if (index->cop == dbvmVariable) ctx.exists[index->offset].indexed = true;
        if (uint64_t(r.ivalue) >= l.str.size - 1) indexOutOfRange(ctx, index, r.ivalue);
        v.ivalue = static_cast<unsigned char>(l.str.base[r.ivalue]);
        return;
    }

    case dbvmVariableBool: v.bvalue = *parameterAddress(expr, ctx); return;
    case dbvmVariableInt1: v.ivalue = int8_t(*parameterAddress(expr, ctx)); return;
    case dbvmVariableInt2: v.ivalue = loadAs<int16_t>(parameterAddress(expr, ctx)); return;
    case dbvmVariableInt4: v.ivalue = loadAs<int32_t>(parameterAddress(expr, ctx)); return;
    case dbvmVariableInt8: v.ivalue = loadAs<int64_t>(parameterAddress(expr, ctx)); return;
    case dbvmVariableReal4: v.fvalue = loadAs<float>(parameterAddress(expr, ctx)); return;
    case dbvmVariableReal8: v.fvalue = loadAs<double>(parameterAddress(expr, ctx)); return;
    case dbvmVariableString: {
        const auto* text = reinterpret_cast<const char*>(parameterAddress(expr, ctx));
        if (text == nullptr) text = "";
        v.str.base = text;
        v.str.size = std::strlen(text) + 1;
        return;
    }
    case dbvmVariableStringPtr: {
        const char* text = loadAs<const char*>(parameterAddress(expr, ctx));
        if (text == nullptr) text = "";
        v.str.base = text;
        v.str.size = std::strlen(text) + 1;
        return;
    }
    case dbvmVariableReference: v.oid = loadAs<oid_t>(parameterAddress(expr, ctx)); return;
    case dbvmVariableArray:
    case dbvmVariableArrayPtr: {
        const byte* p = parameterAddress(expr, ctx);
        if (expr->cop == dbvmVariableArrayPtr) p = loadAs<const byte*>(p);
        if (p == nullptr) {
            v.arr.base = nullptr;
            v.arr.count = 0;
        } else {
            AppArray a = loadAs<AppArray>(p);
            v.arr.base = a.data;
            v.arr.count = a.count;
        }
        return;
    }
    case dbvmVariableRawBinary: v.base = const_cast<byte*>(parameterAddress(expr, ctx)); return;

    case dbvmLoadTrue: v.bvalue = 1; return;
    case dbvmLoadFalse: v.bvalue = 0; return;
    case dbvmCurrent: v.oid = ctx.oid; return;
    case dbvmFirst: v.oid = ctx.table->firstRow; return;
    case dbvmLast: v.oid = ctx.table->lastRow; return;
    case dbvmLoadNull: v.oid = 0; return;
    case dbvmIntConst: v.ivalue = expr->ivalue; return;
    case dbvmRealConst: v.fvalue = expr->fvalue; return;
    case dbvmStringConst:
        v.str.base = expr->svalue.str;
        v.str.size = expr->svalue.size;
        return;

    case dbvmOr:
        execute(expr->operand[0], ctx, l);
        if (l.bvalue != 0) {
            v.bvalue = 1;
            return;
        }
        execute(expr->operand[1], ctx, r);
        v.bvalue = r.bvalue != 0;
        return;
    case dbvmAnd:
        execute(expr->operand[0], ctx, l);
        if (l.bvalue == 0) {
            v.bvalue = 0;
            return;
        }
        execute(expr->operand[1], ctx, r);
        v.bvalue = r.bvalue != 0;
        return;
    case dbvmNot:
        execute(expr->operand[0], ctx, l);
        v.bvalue = l.bvalue == 0;
        return;
    case dbvmIsNull:
        execute(expr->operand[0], ctx, l);
        v.bvalue = l.oid == 0;
        return;

    case dbvmNegInt:
        execute(expr->operand[0], ctx, l);
        v.ivalue = int64_t(0 - uint64_t(l.ivalue));
        return;
    case dbvmAddInt:
    case dbvmSubInt:
    case dbvmMulInt:
    case dbvmDivInt:
    case dbvmAndInt:
    case dbvmOrInt:
    case dbvmPowerInt:
        execute(expr->operand[0], ctx, l);
        execute(expr->operand[1], ctx, r);
        switch (expr->cop) {
        case dbvmAddInt: v.ivalue = int64_t(uint64_t(l.ivalue) + uint64_t(r.ivalue)); return;
        case dbvmSubInt: v.ivalue = int64_t(uint64_t(l.ivalue) - uint64_t(r.ivalue)); return;
        case dbvmMulInt: v.ivalue = int64_t(uint64_t(l.ivalue) * uint64_t(r.ivalue)); return;
        case dbvmDivInt:
            if (r.ivalue == 0) raise(ctx, dbDatabase::errArithmetic, "Division by zero");
            // The one quotient that does not fit wraps, as the other operations do.
            v.ivalue = r.ivalue == -1 ? int64_t(0 - uint64_t(l.ivalue)) : l.ivalue / r.ivalue;
            return;
        case dbvmAndInt: v.ivalue = l.ivalue & r.ivalue; return;
        case dbvmOrInt: v.ivalue = l.ivalue | r.ivalue; return;
        default:
            if (l.ivalue == 0 && r.ivalue < 0)
                raise(ctx, dbDatabase::errArithmetic, "Raise zero to negative power");
            v.ivalue = powerInt(l.ivalue, r.ivalue);
            return;
        }
    case dbvmNotInt:
        execute(expr->operand[0], ctx, l);
        v.ivalue = ~l.ivalue;
        return;
    case dbvmAbsInt:
        execute(expr->operand[0], ctx, l);
        v.ivalue = l.ivalue < 0 ? int64_t(0 - uint64_t(l.ivalue)) : l.ivalue;
        return;
    case dbvmEqInt:
    case dbvmNeInt:
    case dbvmGtInt:
    case dbvmGeInt:
    case dbvmLtInt:
    case dbvmLeInt:
        execute(expr->operand[0], ctx, l);
        execute(expr->operand[1], ctx, r);
        switch (expr->cop) {
        case dbvmEqInt: v.bvalue = l.ivalue == r.ivalue; return;
        case dbvmNeInt: v.bvalue = l.ivalue != r.ivalue; return;
        case dbvmGtInt: v.bvalue = l.ivalue > r.ivalue; return;
        case dbvmGeInt: v.bvalue = l.ivalue >= r.ivalue; return;
        case dbvmLtInt: v.bvalue = l.ivalue < r.ivalue; return;
        default: v.bvalue = l.ivalue <= r.ivalue; return;
        }
    case dbvmBetweenInt:
        execute(expr->operand[0], ctx, l);
        execute(expr->operand[1], ctx, r);
        if (l.ivalue < r.ivalue) {
            v.bvalue = 0;
            return;
        }
        execute(expr->operand[2], ctx, h);
        v.bvalue = l.ivalue <= h.ivalue;
        return;

    case dbvmNegReal:
        execute(expr->operand[0], ctx, l);
        v.fvalue = -l.fvalue;
        return;
    case dbvmAddReal:
    case dbvmSubReal:
    case dbvmMulReal:
    case dbvmDivReal:
    case dbvmPowerReal:
    case dbvmPowerRealInt:
        execute(expr->operand[0], ctx, l);
        execute(expr->operand[1], ctx, r);
        switch (expr->cop) {
        case dbvmAddReal: v.fvalue = l.fvalue + r.fvalue; return;
        case dbvmSubReal: v.fvalue = l.fvalue - r.fvalue; return;
        case dbvmMulReal: v.fvalue = l.fvalue * r.fvalue; return;
        case dbvmDivReal:
            if (r.fvalue == 0.0) raise(ctx, dbDatabase::errArithmetic, "Division by zero");
            v.fvalue = l.fvalue / r.fvalue;
            return;
        case dbvmPowerReal:
            if (l.fvalue < 0) raise(ctx, dbDatabase::errArithmetic, "Power operator returns complex result");
            if (l.fvalue == 0.0 && r.fvalue < 0) raise(ctx, dbDatabase::errArithmetic, "Raise zero to negative power");
            v.fvalue = std::pow(l.fvalue, r.fvalue);
            return;
        default:
            if (l.fvalue == 0.0 && r.ivalue < 0) raise(ctx, dbDatabase::errArithmetic, "Raise zero to negative power");
            v.fvalue = powerRealInt(l.fvalue, r.ivalue);
            return;
        }
    case dbvmAbsReal:
        execute(expr->operand[0], ctx, l);
        v.fvalue = l.fvalue < 0 ? -l.fvalue : l.fvalue;
        return;

    case dbvmEqBinary:
    case dbvmNeBinary:
    case dbvmGtBinary:
    case dbvmGeBinary:
    case dbvmLtBinary:
    case dbvmLeBinary: {
        execute(expr->bin.operand[0], ctx, l);
        execute(expr->bin.operand[1], ctx, r);
        int c = expr->bin.comparator(l.base, r.base, expr->offset);
        switch (expr->cop) {
        case dbvmEqBinary: v.bvalue = c == 0; return;
        case dbvmNeBinary: v.bvalue = c != 0; return;
        case dbvmGtBinary: v.bvalue = c > 0; return;
        case dbvmGeBinary: v.bvalue = c >= 0; return;
        case dbvmLtBinary: v.bvalue = c < 0; return;
        default: v.bvalue = c <= 0; return;
        }
    }
    case dbvmBetweenBinary: {
        dbComparator cmp = expr->operand[0]->ref.field->comparator;
        execute(expr->operand[0], ctx, l);
        execute(expr->operand[1], ctx, r);
        if (cmp(l.base, r.base, expr->offset) < 0) {
            v.bvalue = 0;
            return;
        }
        execute(expr->operand[2], ctx, h);
        v.bvalue = cmp(l.base, h.base, expr->offset) <= 0;
        return;
    }

    case dbvmEqReal:
    case dbvmNeReal:
    case dbvmGtReal:
    case dbvmGeReal:
    case dbvmLtReal:
    case dbvmLeReal:
        execute(expr->operand[0], ctx, l);
        execute(expr->operand[1], ctx, r);
        switch (expr->cop) {
        case dbvmEqReal: v.bvalue = l.fvalue == r.fvalue; return;
        case dbvmNeReal: v.bvalue = l.fvalue != r.fvalue; return;
        case dbvmGtReal: v.bvalue = l.fvalue > r.fvalue; return;
        case dbvmGeReal: v.bvalue = l.fvalue >= r.fvalue; return;
        case dbvmLtReal: v.bvalue = l.fvalue < r.fvalue; return;
        default: v.bvalue = l.fvalue <= r.fvalue; return;
        }
    case dbvmBetweenReal:
        execute(expr->operand[0], ctx, l);
        execute(expr->operand[1], ctx, r);
        if (!(l.fvalue >= r.fvalue)) {
            v.bvalue = 0;
            return;
        }
        execute(expr->operand[2], ctx, h);
        v.bvalue = l.fvalue <= h.fvalue;
        return;

    case dbvmEqBool:
    case dbvmNeBool:
        execute(expr->operand[0], ctx, l);
        execute(expr->operand[1], ctx, r);
        v.bvalue = (l.bvalue == r.bvalue) == (expr->cop == dbvmEqBool);
        return;
    case dbvmEqReference:
    case dbvmNeReference:
        execute(expr->operand[0], ctx, l);
        execute(expr->operand[1], ctx, r);
        v.bvalue = (l.oid == r.oid) == (expr->cop == dbvmEqReference);
        return;

    case dbvmEqString:
    case dbvmNeString:
    case dbvmGtString:
    case dbvmGeString:
    case dbvmLtString:
    case dbvmLeString: {
        execute(expr->operand[0], ctx, l);
        execute(expr->operand[1], ctx, r);
        int c = std::strcmp(l.str.base, r.str.base);
        switch (expr->cop) {
        case dbvmEqString: v.bvalue = c == 0; return;
        case dbvmNeString: v.bvalue = c != 0; return;
        case dbvmGtString: v.bvalue = c > 0; return;
        case dbvmGeString: v.bvalue = c >= 0; return;
        case dbvmLtString: v.bvalue = c < 0; return;
        default: v.bvalue = c <= 0; return;
        }
    }
    case dbvmBetweenString:
        execute(expr->operand[0], ctx, l);
        execute(expr->operand[1], ctx, r);
        if (std::strcmp(l.str.base, r.str.base) < 0) {
            v.bvalue = 0;
            return;
        }
        execute(expr->operand[2], ctx, h);
        v.bvalue = std::strcmp(l.str.base, h.str.base) <= 0;
        return;
    case dbvmLikeString:
        execute(expr->operand[0], ctx, l);
        execute(expr->operand[1], ctx, r);
        v.bvalue = dbMatchLike(l.str.base, r.str.base, 0);
        return;
    case dbvmLikeEscapeString:
        execute(expr->operand[0], ctx, l);
        execute(expr->operand[1], ctx, r);
        execute(expr->operand[2], ctx, h);
        v.bvalue = dbMatchLike(l.str.base, r.str.base, static_cast<unsigned char>(h.str.base[0]));
        return;
    case dbvmUpperString:
    case dbvmLowerString: {
        execute(expr->operand[0], ctx, l);
        char* s = ctx.allocate(l.str.size);
        bool upper = expr->cop == dbvmUpperString;
        for (size_t i = 0; i < l.str.size; i++) {
            char c = l.str.base[i];
            if (upper && c >= 'a' && c <= 'z')
                c = char(c - 'a' + 'A');
            else if (!upper && c >= 'A' && c <= 'Z')
                c = char(c - 'A' + 'a');
            s[i] = c;
        }
        v.str.base = s;
        v.str.size = l.str.size;
        return;
    }

    case dbvmIntToReference:
        execute(expr->operand[0], ctx, l);
        v.oid = oid_t(uint64_t(l.ivalue));
        return;
    case dbvmIntToReal:
        execute(expr->operand[0], ctx, l);
        v.fvalue = double(l.ivalue);
        return;
    case dbvmRealToInt:
        execute(expr->operand[0], ctx, l);
        v.ivalue = realToInt(l.fvalue);
        return;
    case dbvmIntToString: {
        execute(expr->operand[0], ctx, l);
        char text[32];
        int n = std::snprintf(text, sizeof text, "%" PRId64, l.ivalue);
        v.str.base = copyToScratch(ctx, text, size_t(n) + 1);
        v.str.size = size_t(n) + 1;
        return;
    }
    case dbvmRealToString: {
        execute(expr->operand[0], ctx, l);
        int n = std::snprintf(nullptr, 0, "%f", l.fvalue);
        char* s = ctx.allocate(size_t(n) + 1);
        std::snprintf(s, size_t(n) + 1, "%f", l.fvalue);
        v.str.base = s;
        v.str.size = size_t(n) + 1;
        return;
    }
    case dbvmStringConcat: {
        execute(expr->operand[0], ctx, l);
        execute(expr->operand[1], ctx, r);
        size_t size = l.str.size + r.str.size - 1;
        char* s = ctx.allocate(size);
        std::memcpy(s, l.str.base, l.str.size - 1);
        std::memcpy(s + l.str.size - 1, r.str.base, r.str.size);
        v.str.base = s;
        v.str.size = size;
        return;
    }
    case dbvmDeref:
        execute(expr->operand[0], ctx, l);
        if (l.oid == 0) raise(ctx, dbDatabase::errNullReference);
        if (ctx.probing && (ctx.db->isFreeId(l.oid) || (ctx.db->getPos(l.oid) & dbInternalObjectMarker) != 0))
            throw ProbeFailure();
        v.base = reinterpret_cast<byte*>(ctx.db->getRow(l.oid));
        return;

    case dbvmExists: {
        int level = int(expr->offset);
        dbInheritedAttribute::ExistsLevel& state = ctx.exists[level];
        ScratchMark mark(ctx);
        v.bvalue = 0;
        for (int64_t i = 0;; i++) {
            state.index = i;
            state.indexed = false;
            try {
                execute(expr->operand[0], ctx, l);
            } catch (ExistsEnd& end) {
                if (end.level != level) throw;
                mark.restore();
                return;
            }
            mark.restore();
            if (l.bvalue != 0) {
                v.bvalue = 1;
                return;
            }
            // Rounds that index through the variable end at the end of an
            // array. A round that did not (AND or OR skipped the indexing)
            // goes on only while some array indexed through the variable
            // still has elements beyond the index, so the loop always ends.
            if (!state.indexed && i + 1 >= indexLimit(expr->operand[0], level, ctx)) return;
        }
    }
    case dbvmVariable:
        v.ivalue = ctx.exists[expr->offset].index;
        return;
    case dbvmVoid:
        v.bvalue = 1;
        return;
    default:
        // Expression lists and unknown codes never reach evaluation.
        DB_ASSERT(false);
    }
}

void ScratchMark::restore()
{
    ctx.freeChainTo(chain);
    ctx.bufferUsed = used;
}

}  // namespace

// ---------------------------------------------------------------- scratch storage

char* dbInheritedAttribute::allocate(size_t size)
{
    if (bufferUsed + size <= bufferSize) {
        char* p = buffer + bufferUsed;
        bufferUsed += size;
        return p;
    }
    auto* block = static_cast<char*>(::operator new(size + sizeof(char*)));
    std::memcpy(block, &scratch, sizeof(char*));
    scratch = block;
    return block + sizeof(char*);
}

void dbInheritedAttribute::freeChainTo(char* keep)
{
    while (scratch != nullptr && scratch != keep) {
        char* next;
        std::memcpy(&next, scratch, sizeof next);
        ::operator delete(scratch);
        scratch = next;
    }
}

bool dbInheritedAttribute::holds(dbExprNode* expr)
{
    Value v;
    execute(expr, *this, v);
    return v.bvalue != 0;
}

dbExprValue dbEvaluateKey(dbInheritedAttribute& ctx, dbExprNode* expr)
{
    Value v;
    execute(expr, ctx, v);
    dbExprValue result{expr->type, 0, 0, nullptr, 0};
    switch (expr->type) {
    case tpInteger: result.ivalue = v.ivalue; break;
    case tpBoolean: result.ivalue = v.bvalue != 0; break;
    case tpReal: result.fvalue = v.fvalue; break;
    case tpString: result.str = v.str.base; break;
    case tpReference: result.oid = v.oid; break;
    default: DB_ASSERT(false); break;
    }
    return result;
}

bool dbEvaluateCondition(dbDatabase* db, dbExprNode* condition, oid_t oid, const dbStoredTable* tableRecord,
                         dbAnyCursor* cursor)
{
    if (condition->cop == dbvmVoid) return true;
    dbInheritedAttribute ctx(db, tableRecord, cursor != nullptr ? cursor->parameterBase : nullptr);
    ctx.setRow(oid, reinterpret_cast<byte*>(db->getRow(oid)));
    return ctx.holds(condition);
}

// ---------------------------------------------------------------- string matching

bool dbMatchLike(const char* text, const char* pattern, int escape)
{
    const auto* str = reinterpret_cast<const unsigned char*>(text);
    const auto* pat = reinterpret_cast<const unsigned char*>(pattern);
    const unsigned char* resumePattern = nullptr;  // just after the last '%'
    const unsigned char* resumeText = nullptr;
    for (;;) {
        if (*pat == '%') {
            resumePattern = ++pat;
            resumeText = str;
        } else if (*str == '\0') {
            return *pat == '\0';
        } else if (escape != 0 && *pat == escape && pat[1] == *str) {
            // The escaped byte matches only itself.
            str += 1;
            pat += 2;
        } else if ((escape == 0 || *pat != escape) && (*pat == *str || *pat == '_')) {
            str += 1;
            pat += 1;
        } else if (resumePattern != nullptr) {
            str = ++resumeText;
            pat = resumePattern;
        } else {
            return false;
        }
    }
}

bool dbFindSubstring(const char* pattern, size_t patternSize, const char* text, size_t textSize)
{
    if (patternSize > textSize) return false;
    if (textSize <= 512) return std::strstr(text, pattern) != nullptr;
    size_t m = patternSize - 1;
    size_t n = textSize - 1;
    if (m == 0) return true;
    const auto* p = reinterpret_cast<const unsigned char*>(pattern);
    const auto* t = reinterpret_cast<const unsigned char*>(text);
    size_t shift[256];
    for (size_t& s : shift) s = m;
    for (size_t i = 0; i + 1 < m; i++) shift[p[i]] = m - 1 - i;
    for (size_t end = m - 1; end < n; end += shift[t[end]]) {
        size_t k = 0;
        while (k < m && t[end - k] == p[m - 1 - k]) k++;
        if (k == m) return true;
    }
    return false;
}
