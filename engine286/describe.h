#pragma once
// Describing a record type to the engine.
//
// A record type is a plain structure. It declares its table descriptor and a
// describe function, and the describe function lists the fields in the order
// in which they are stored:
//
//     struct Employee {
//         int32_t oid;
//         const char* id;
//         dbReference<Department> department;
//         dbDateTime hired;
//         DB_TABLE_MEMBERS;
//     };
//     DB_TABLE(Employee, "Employee")
//     dbFieldDescriptor* Employee::describeFields()
//     {
//         return dbFields<Employee>()
//             .field("oid", &Employee::oid)
//             .field("id", &Employee::id, dbField::Hashed)
//             .field("department", &Employee::department)
//             .field("hired", &Employee::hired);
//     }
//
// Field types follow from the members' C++ types: bool, int8_t, int16_t,
// int32_t, int64_t, float, double, const char* (text), dbReference<T> (a
// reference to a record of T) and structures that describe their own
// components with a static describeComponents() (such as dbDateTime).
// Structures list their methods after their data with .method().

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "engine286/class.h"
#include "engine286/reference.h"

// Declares the table descriptor and describe function inside a record type.
#define DB_TABLE_MEMBERS                      \
    static dbTableDescriptor dbDescriptor;    \
    static dbFieldDescriptor* describeFields()

// Defines the table descriptor of a record type (at namespace scope).
#define DB_TABLE(T, tableName) \
    dbTableDescriptor T::dbDescriptor(tableName, nullptr, int(sizeof(T)), &T::describeFields);

// The same for a table that every database opened by the process gets a
// copy of (tests open several databases at once).
#define DB_DETACHED_TABLE(T, tableName) \
    dbTableDescriptor T::dbDescriptor(tableName, DETACHED_TABLE, int(sizeof(T)), &T::describeFields);

// An array field of a record; after a fetch whose elements are stored as
// they are held here, `data` points into the stored row.
template <class T>
class dbArray {
public:
    using dbElementType = T;
    size_t count = 0;
    T* data = nullptr;

    dbArray() = default;
    dbArray(std::initializer_list<T> items) : storage(items) { sync(); }
    dbArray(const dbArray& other) : storage(other.data, other.data + other.count) { sync(); }
    dbArray& operator=(const dbArray& other)
    {
        if (this != &other) {
            std::vector<T> copy(other.data, other.data + other.count);
            storage.swap(copy);
            sync();
        }
        return *this;
    }
    size_t length() const { return count; }
    const T& operator[](size_t i) const { return data[i]; }
    void assign(const T* items, size_t n)
    {
        storage.assign(items, items + n);
        sync();
    }

    static void setter(void* arrayObject, byte* stored, size_t n)
    {
        auto* a = static_cast<dbArray*>(arrayObject);
        if (stored != nullptr) {
            a->count = n;
            a->data = reinterpret_cast<T*>(stored);
        } else {
            a->storage.assign(n, T());
            a->sync();
        }
    }

private:
    void sync()
    {
        count = storage.size();
        data = storage.data();
    }
    std::vector<T> storage;
};

template <class T, class M>
int dbOffsetOf(M T::*member)
{
    alignas(T) static unsigned char storage[sizeof(T)];
    T* object = reinterpret_cast<T*>(storage);
    return int(reinterpret_cast<unsigned char*>(&(object->*member)) - storage);
}

template <class M>
concept dbStructureType = requires { M::describeComponents(); };

// A method of a structure, bound for queries.
template <class T, class R>
class dbMethodTrampoline;

template <class T, class R>
class dbMethodFastTrampoline : public dbAnyMethodTrampoline {
public:
    using Method = R (T::*)() const;
    dbMethodFastTrampoline(dbFieldDescriptor* fd, Method m) : dbAnyMethodTrampoline(fd), method(m) {}
    void invoke(byte* data, void* result) override
    {
        const T* object = reinterpret_cast<const T*>(data + cls->storedOffset);
        *static_cast<R*>(result) = (object->*method)();
    }
    dbAnyMethodTrampoline* direct() override { return this; }

private:
    Method method;
};

template <class T, class R>
class dbMethodTrampoline : public dbAnyMethodTrampoline {
public:
    using Method = R (T::*)() const;
    dbMethodTrampoline(dbFieldDescriptor* fd, Method m) : dbAnyMethodTrampoline(fd), method(m) {}
    void invoke(byte* data, void* result) override
    {
        T object;
        cls->components->fetch(reinterpret_cast<byte*>(&object), data);
        *static_cast<R*>(result) = (object.*method)();
    }
    dbAnyMethodTrampoline* direct() override
    {
        auto* fast = new dbMethodFastTrampoline<T, R>(cls, method);
        delete this;
        return fast;
    }

private:
    Method method;
};

template <class R>
constexpr int dbResultType()
{
    if constexpr (std::is_same_v<R, bool>) return dbField::tpBool;
    else if constexpr (std::is_same_v<R, int8_t>) return dbField::tpInt1;
    else if constexpr (std::is_same_v<R, int16_t>) return dbField::tpInt2;
    else if constexpr (std::is_same_v<R, int32_t>) return dbField::tpInt4;
    else if constexpr (std::is_same_v<R, int64_t>) return dbField::tpInt8;
    else if constexpr (std::is_same_v<R, float>) return dbField::tpReal4;
    else if constexpr (std::is_same_v<R, double>) return dbField::tpReal8;
    else if constexpr (std::is_same_v<R, const char*>) return dbField::tpString;
    else static_assert(sizeof(R) == 0, "unsupported method result type");
}

// Builds the circular field list of a record type or structure.
template <class T>
class dbFields {
public:
    template <class M>
    dbFields& field(const char* name, M T::*member, unsigned indexFlags = 0, const char* inverse = nullptr)
    {
        int offset = dbOffsetOf(member);
        dbFieldDescriptor* fd;
        if constexpr (dbStructureType<M>) {
            fd = new dbFieldDescriptor(name, offset, int(sizeof(M)), indexFlags, inverse, M::describeComponents());
            fd->type = fd->appType = dbField::tpStructure;
        } else if constexpr (std::is_same_v<M, const char*> || std::is_same_v<M, char*>) {
            fd = new dbFieldDescriptor(name, offset, int(sizeof(M)), indexFlags, inverse);
            fd->type = fd->appType = dbField::tpString;
            fd->storedSize = 8;
            fd->alignment = 4;
            fd->components = new dbFieldDescriptor("[]");
            fd->components->type = fd->components->appType = dbField::tpInt1;
            fd->components->storedSize = fd->components->appSize = fd->components->alignment = 1;
        } else if constexpr (requires { typename M::dbElementType; }) {
            using E = typename M::dbElementType;
            auto* element = new dbFieldDescriptor("[]", 0, int(sizeof(E)), 0);
            if constexpr (requires { typename E::dbReferencedTable; }) {
                element->type = element->appType = dbField::tpReference;
                element->refTable = &E::dbReferencedTable::dbDescriptor;
            } else {
                element->type = element->appType = scalarType<E>();
            }
            fd = new dbFieldDescriptor(name, offset, int(sizeof(M)), indexFlags, inverse, element);
            fd->type = fd->appType = dbField::tpArray;
            fd->storedSize = 8;
            fd->alignment = 4;
            fd->arraySetter = &M::setter;
        } else if constexpr (requires { typename M::dbReferencedTable; }) {
            fd = new dbFieldDescriptor(name, offset, 4, indexFlags, inverse);
            fd->type = fd->appType = dbField::tpReference;
            fd->refTable = &M::dbReferencedTable::dbDescriptor;
        } else {
            fd = new dbFieldDescriptor(name, offset, int(sizeof(M)), indexFlags, inverse);
            fd->type = fd->appType = scalarType<M>();
        }
        append(fd);
        return *this;
    }

    template <class R>
    dbFields& method(const char* name, R (T::*m)() const)
    {
        auto* fd = new dbFieldDescriptor(name);
        int resultType = dbResultType<R>();
        DB_ASSERT(resultType <= dbField::tpReference);
        fd->type = fd->appType = resultType + dbField::tpMethodBool;
        fd->storedSize = fd->appSize = 0;
        fd->method = new dbMethodTrampoline<T, R>(fd, m);
        append(fd);
        return *this;
    }

    operator dbFieldDescriptor*() const { return first; }

private:
    template <class M>
    static constexpr int scalarType()
    {
        if constexpr (std::is_same_v<M, bool>) return dbField::tpBool;
        else if constexpr (std::is_same_v<M, int8_t>) return dbField::tpInt1;
        else if constexpr (std::is_same_v<M, int16_t>) return dbField::tpInt2;
        else if constexpr (std::is_same_v<M, int32_t>) return dbField::tpInt4;
        else if constexpr (std::is_same_v<M, int64_t>) return dbField::tpInt8;
        else if constexpr (std::is_same_v<M, float>) return dbField::tpReal4;
        else if constexpr (std::is_same_v<M, double>) return dbField::tpReal8;
        else static_assert(sizeof(M) == 0, "unsupported field type");
    }
    void append(dbFieldDescriptor* fd)
    {
        if (first == nullptr)
            first = fd;
        else
            first->join(fd);
    }
    dbFieldDescriptor* first = nullptr;
};
