#include "engine286/query.h"

#include <new>

#include "engine286/compiler.h"

// ---------------------------------------------------------------- allocators

namespace {
// Set while the allocators exist; static storage keeps the flags valid after
// the allocators have been destroyed at process exit.
bool elementAllocatorAlive = false;
bool nodeAllocatorAlive = false;
}  // namespace

dbQueryElementAllocator& dbQueryElementAllocator::instance()
{
    static dbQueryElementAllocator allocator;
    return allocator;
}

dbQueryElementAllocator::dbQueryElementAllocator() { elementAllocatorAlive = true; }

void* dbQueryElementAllocator::allocate(size_t size)
{
    {
        dbCriticalSection guard(mutex);
        if (dbQueryElement* e = freeChain) {
            freeChain = e->next;
            return e;
        }
    }
    return ::operator new(size);
}

void dbQueryElementAllocator::release(dbQueryElement* first, dbQueryElement** lastLink)
{
    dbCriticalSection guard(mutex);
    *lastLink = freeChain;
    freeChain = first;
}

dbQueryElementAllocator::~dbQueryElementAllocator()
{
    elementAllocatorAlive = false;
    while (freeChain != nullptr) {
        dbQueryElement* next = freeChain->next;
        ::operator delete(freeChain);
        freeChain = next;
    }
}

void dbQueryElement::operator delete(void* p)
{
    if (!elementAllocatorAlive) {
        ::operator delete(p);
        return;
    }
    auto* e = static_cast<dbQueryElement*>(p);
    dbQueryElementAllocator::instance().release(e, &e->next);
}

union dbExprNodeAllocator::Slot {
    Slot* next;
    alignas(dbExprNode) unsigned char node[sizeof(dbExprNode)];
};

dbExprNodeAllocator& dbExprNodeAllocator::instance()
{
    static dbExprNodeAllocator allocator;
    return allocator;
}

dbExprNodeAllocator::dbExprNodeAllocator() { nodeAllocatorAlive = true; }

bool dbExprNodeAllocator::alive() { return nodeAllocatorAlive; }

void* dbExprNodeAllocator::allocate()
{
    dbCriticalSection guard(mutex);
    auto* slot = static_cast<Slot*>(freeChain);
    if (slot == nullptr) {
        // One block: a link to the previous block, then the nodes. All but
        // the last node go to the free list; the last one is returned.
        size_t header = (sizeof(Block) + alignof(Slot) - 1) / alignof(Slot) * alignof(Slot);
        auto* raw = static_cast<unsigned char*>(::operator new(header + sizeof(Slot) * blockSize));
        auto* block = reinterpret_cast<Block*>(raw);
        block->next = blocks;
        blocks = block;
        auto* slots = reinterpret_cast<Slot*>(raw + header);
        for (int i = 0; i < blockSize - 2; i++) slots[i].next = &slots[i + 1];
        slots[blockSize - 2].next = nullptr;
        freeChain = &slots[0];
        return &slots[blockSize - 1];
    }
    freeChain = slot->next;
    return slot;
}

void dbExprNodeAllocator::release(void* node)
{
    dbCriticalSection guard(mutex);
    auto* slot = static_cast<Slot*>(node);
    slot->next = static_cast<Slot*>(freeChain);
    freeChain = slot;
}

dbExprNodeAllocator::~dbExprNodeAllocator()
{
    nodeAllocatorAlive = false;
    while (blocks != nullptr) {
        Block* next = blocks->next;
        ::operator delete(blocks);
        blocks = next;
    }
    freeChain = nullptr;
}

// ---------------------------------------------------------------- element lists

void dbQueryElementList::append(dbQueryElement::ElementKind kind, const void* ptr, dbTableDescriptor* table)
{
    auto* e = new dbQueryElement;
    e->next = nullptr;
    e->ptr = ptr;
    e->type = kind;
    e->ref = table;
    *nextElement = e;
    nextElement = &e->next;
    operand = kind == dbQueryElement::qText;
}

void dbQueryElementList::appendList(dbQueryElementList& other)
{
    if (other.elements == nullptr) return;
    *nextElement = other.elements;
    nextElement = other.nextElement;
    other.elements = nullptr;
    other.nextElement = &other.elements;
    other.operand = false;
}

void dbQueryElementList::releaseElements()
{
    if (elements != nullptr) {
        if (elementAllocatorAlive) {
            dbQueryElementAllocator::instance().release(elements, nextElement);
        } else {
            while (elements != nullptr) {
                dbQueryElement* next = elements->next;
                ::operator delete(elements);
                elements = next;
            }
        }
    }
    elements = nullptr;
    nextElement = &elements;
    operand = false;
}

dbQueryExpression& dbQueryExpression::operator=(const dbComponent& path)
{
    releaseElements();
    append(dbQueryElement::qText, path.structure);
    if (path.field != nullptr) {
        append(dbQueryElement::qText, ".");
        append(dbQueryElement::qText, path.field);
    }
    operand = false;
    return *this;
}

// ---------------------------------------------------------------- queries

void dbCompiledQuery::destroy()
{
    if (tree != nullptr) {
        // During process exit the nodes' memory has already gone with the
        // allocator; only the lists themselves are still to be freed.
        bool nodesAlive = dbExprNodeAllocator::alive();
        if (nodesAlive) {
            dbCriticalSection guard(dbExprNodeAllocator::instance().getMutex());
            dbExprNode::destroyTree(tree);
            for (dbOrderByNode* o = order; o != nullptr; o = o->next) dbExprNode::destroyTree(o->expr);
        }
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
    tree = nullptr;
    order = nullptr;
    follow = nullptr;
    table = nullptr;
    startFrom = StartFromAny;
    startVariable = nullptr;
}

dbQuery& dbQuery::reset()
{
    releaseElements();
    {
        dbCriticalSection guard(mutex);
        destroy();
    }
    return *this;
}
