#pragma once
// Query objects: a condition written as a sequence of text fragments and
// bound variables, compiled on its first select for a table and reused.
//
//     int32_t session;
//     dbQuery q;
//     q = "session=", session;          // bound by address, read at each select
//     cursor.select(q);
//
//     const char* code = ...;
//     q = "id=", code, " order by id";  // a string right after text is a value
//
//     dbQueryExpression key;
//     key = dbComponent("lastUpdate", "stamp"), "desc";
//     q = "order by", key;              // order by ( lastUpdate . stamp desc )
//
// Variables are bound by address (plus the cursor's parameter base at
// evaluation), so they must outlive every select of the query. Temporaries
// cannot be bound: the overloads for them are deleted.

#include <cstddef>
#include <cstdint>
#include <utility>

#include "engine286/class.h"
#include "engine286/database.h"
#include "engine286/describe.h"

class dbExprNode;
class dbCompiler;

// ---- allocators ------------------------------------------------------------

// Recycles query elements through a process-wide free list; memory goes back
// to the system only when the process ends.
class dbQueryElementAllocator {
public:
    static dbQueryElementAllocator& instance();
    void* allocate(size_t size);
    // Puts the chain from `first` up to the element whose `next` field is
    // `lastLink` on the free list in one splice.
    void release(class dbQueryElement* first, class dbQueryElement** lastLink);
    ~dbQueryElementAllocator();

private:
    dbQueryElementAllocator();
    dbMutex mutex;
    class dbQueryElement* freeChain = nullptr;
};

// Recycles expression nodes; nodes come 1024 to a block and blocks are freed
// only when the process ends.
class dbExprNodeAllocator {
public:
    static constexpr int blockSize = 1024;
    static dbExprNodeAllocator& instance();
    // False during process exit, once the allocator has been destroyed.
    static bool alive();
    void* allocate();
    void release(void* node);
    dbMutex& getMutex() { return mutex; }
    ~dbExprNodeAllocator();

private:
    dbExprNodeAllocator();
    struct Block {
        Block* next;
    };
    union Slot;
    dbMutex mutex;
    void* freeChain = nullptr;
    Block* blocks = nullptr;
};

// ---- elements --------------------------------------------------------------

class dbQueryElement {
public:
    enum ElementKind : uint8_t {
        qText = 0,
        qVarBool = 1,
        qVarInt1 = 2,
        qVarInt2 = 3,
        qVarInt4 = 4,
        qVarInt8 = 5,
        qVarReal4 = 6,
        qVarReal8 = 7,
        qVarString = 8,         // the text itself
        qVarStringPtr = 9,      // a variable holding a pointer to the text
        qVarReference = 10,     // a 4-byte object id; `ref` is the referenced table
        qVarArrayOfRef = 11,    // an application array object (count, element pointer)
        qVarArrayOfRefPtr = 12, // a variable holding the address of such an array
        qVarRawData = 13        // the first byte of a block
    };

    dbQueryElement* next = nullptr;
    const void* ptr = nullptr;
    uint8_t type = qText;
    dbTableDescriptor* ref = nullptr;

    static void* operator new(size_t size) { return dbQueryElementAllocator::instance().allocate(size); }
    static void operator delete(void* p);
};

// A field path used to build a sub-expression: the field and, for a
// structure, one of its components.
struct dbComponent {
    const char* structure;
    const char* field;
    explicit dbComponent(const char* structure, const char* field = nullptr) : structure(structure), field(field) {}
};

// The element list shared by queries and expression builders. The builders'
// comma operators append: text and string values by the "operand" rule, bound
// variables by address.
class dbQueryElementList {
public:
    dbQueryElementList() = default;
    ~dbQueryElementList() { releaseElements(); }
    dbQueryElementList(const dbQueryElementList&) = delete;
    dbQueryElementList& operator=(const dbQueryElementList&) = delete;

    // The primitive every operator uses.
    void append(dbQueryElement::ElementKind kind, const void* ptr, dbTableDescriptor* table = nullptr);
    // A string value when the last element was text, more text otherwise.
    void appendString(const char* text)
    {
        append(operand ? dbQueryElement::qVarString : dbQueryElement::qText, text);
    }
    // Moves the other list's elements to the end of this one.
    void appendList(dbQueryElementList& other);
    dbQueryElement* getElements() const { return elements; }

protected:
    void releaseElements();

    dbQueryElement* elements = nullptr;
    dbQueryElement** nextElement = &elements;
    bool operand = false;  // the last element appended was text
};

// The typed appends, shared by dbQuery and dbQueryExpression. Each scalar
// type has its own overload so that nothing is bound through a conversion
// (which would bind a temporary); temporaries are refused outright.
template <class Self>
class dbQueryBuilder : public dbQueryElementList {
public:
    Self& operator,(const char* text)
    {
        appendString(text);
        return self();
    }
    Self& operator,(const bool& v) { return var(dbQueryElement::qVarBool, &v); }
    Self& operator,(const int8_t& v) { return var(dbQueryElement::qVarInt1, &v); }
    Self& operator,(const int16_t& v) { return var(dbQueryElement::qVarInt2, &v); }
    Self& operator,(const int32_t& v) { return var(dbQueryElement::qVarInt4, &v); }
    Self& operator,(const int64_t& v) { return var(dbQueryElement::qVarInt8, &v); }
    Self& operator,(const float& v) { return var(dbQueryElement::qVarReal4, &v); }
    Self& operator,(const double& v) { return var(dbQueryElement::qVarReal8, &v); }
    // A string variable: the address of the pointer, read at each select.
    Self& operator,(const char* const* v) { return var(dbQueryElement::qVarStringPtr, v); }
    Self& operator,(char* const* v) { return var(dbQueryElement::qVarStringPtr, v); }
    template <class T>
    Self& operator,(const dbReference<T>& v)
    {
        append(dbQueryElement::qVarReference, &v, &T::dbDescriptor);
        return self();
    }
    template <class T>
    Self& operator,(const dbArray<dbReference<T>>& v)
    {
        append(dbQueryElement::qVarArrayOfRef, &v, &T::dbDescriptor);
        return self();
    }
    // A variable holding the address of an array of references.
    template <class T>
    Self& operator,(dbArray<dbReference<T>>* const& v)
    {
        append(dbQueryElement::qVarArrayOfRefPtr, &v, &T::dbDescriptor);
        return self();
    }
    Self& operator,(dbQueryElementList& expression);
    Self& operator,(dbQueryElementList&& expression) { return (*this, expression); }

    // Temporaries would leave a dangling address behind.
    Self& operator,(bool&&) = delete;
    Self& operator,(int8_t&&) = delete;
    Self& operator,(int16_t&&) = delete;
    Self& operator,(int32_t&&) = delete;
    Self& operator,(int64_t&&) = delete;
    Self& operator,(float&&) = delete;
    Self& operator,(double&&) = delete;
    template <class T>
    Self& operator,(dbReference<T>&&) = delete;
    template <class T>
    Self& operator,(dbArray<dbReference<T>>&&) = delete;
    template <class T>
    Self& operator,(dbArray<dbReference<T>>*&&) = delete;

    // The same as the comma operator, for code that prefers a call.
    template <class T>
    Self& add(T&& v)
    {
        return (*this, std::forward<T>(v));
    }
    // A block of bytes compared with raw-bytes fields by their comparator.
    Self& addRaw(const void* block) { return var(dbQueryElement::qVarRawData, block); }

private:
    Self& self() { return static_cast<Self&>(*this); }
    Self& var(dbQueryElement::ElementKind kind, const void* p)
    {
        append(kind, p);
        return self();
    }
};

// A parenthesised sub-expression; appended to a query it is wrapped in "("
// and ")" and its elements move into the query.
class dbQueryExpression : public dbQueryBuilder<dbQueryExpression> {
public:
    dbQueryExpression() = default;
    // The path as text elements: name "." component (only the name when
    // there is no component).
    dbQueryExpression& operator=(const dbComponent& path);
};

template <class Self>
Self& dbQueryBuilder<Self>::operator,(dbQueryElementList& expression)
{
    append(dbQueryElement::qText, "(");
    appendList(expression);
    append(dbQueryElement::qText, ")");
    operand = false;
    return self();
}

// ---- compiled form ---------------------------------------------------------

// A key of the ORDER BY list: a field of the table or any scalar expression.
struct dbOrderByNode {
    dbOrderByNode* next = nullptr;
    dbFieldDescriptor* field = nullptr;
    dbTableDescriptor* table = nullptr;
    dbExprNode* expr = nullptr;
    bool ascent = true;
};

// A reference field followed by a START FROM walk.
struct dbFollowByNode {
    dbFollowByNode* next = nullptr;
    dbFieldDescriptor* field = nullptr;
};

class dbCompiledQuery {
public:
    enum StartFrom { StartFromAny = 0, StartFromFirst = 1, StartFromLast = 2, StartFromRef = 3, StartFromArray = 4,
                     StartFromArrayPtr = 5 };

    dbExprNode* tree = nullptr;  // null when not compiled
    dbOrderByNode* order = nullptr;
    dbFollowByNode* follow = nullptr;
    dbTableDescriptor* table = nullptr;
    int startFrom = StartFromAny;
    const void* startVariable = nullptr;

    bool compiled() const { return tree != nullptr; }
    // Frees the tree and the ORDER BY and FOLLOW BY lists.
    void destroy();
};

class dbQuery : public dbCompiledQuery, public dbQueryBuilder<dbQuery> {
public:
    dbQuery() = default;
    explicit dbQuery(const char* text) { appendString(text); }
    ~dbQuery() { reset(); }

    dbQuery& operator=(const char* text)
    {
        reset();
        appendString(text);
        return *this;
    }
    // Releases the elements and the compiled form.
    dbQuery& reset();

    // Serialises compiling (and destroying the compiled form) between
    // threads that share the query.
    dbMutex mutex;
};
