#include "engine286/ttree.h"

#include <cstring>

#include "engine286/cursor.h"

namespace {

inline uint32_t load32(const byte* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

template <class T>
int compareValues(const char* key, const byte* stored)
{
    T a, b;
    std::memcpy(&a, key, sizeof a);
    std::memcpy(&b, stored, sizeof b);
    return a < b ? -1 : a == b ? 0 : 1;
}

// The key of a record as the T-tree sees it: a text pointer for strings,
// the field's bytes otherwise.
const char* keyOf(const byte* record, int type, int offs)
{
    if (type == dbField::tpString) return reinterpret_cast<const char*>(record + load32(record + offs + 4));
    return reinterpret_cast<const char*>(record + offs);
}

struct TreeKey {
    dbDatabase* db;
    int type;
    int sizeofType;
    dbComparator comparator;
    int offs;
    // Sign of (key - key of the record).
    int compare(const char* key, oid_t record) const
    {
        return dbCompareKey(key, reinterpret_cast<const byte*>(db->getRow(record)), type, sizeofType, comparator, offs);
    }
    const char* keyOfRecord(oid_t record) const
    {
        return keyOf(reinterpret_cast<const byte*>(db->getRow(record)), type, offs);
    }
};

inline dbTtreeNode* readNode(dbDatabase* db, oid_t id) { return reinterpret_cast<dbTtreeNode*>(db->get(id)); }
inline dbTtreeNode* writeNode(dbDatabase* db, oid_t id) { return reinterpret_cast<dbTtreeNode*>(db->put(id)); }

oid_t newNode(dbDatabase* db, oid_t record)
{
    oid_t id = db->allocateObject(dbTtreeNodeMarker);
    dbTtreeNode* node = readNode(db, id);
    std::memset(node, 0, sizeof *node);
    node->nItems = 1;
    node->item[0] = record;
    return id;
}

// Growth on the right of the node with balance +1 already: rotate.
void rotateAfterRightGrowth(dbDatabase* db, oid_t& nodeId)
{
    dbTtreeNode* n = writeNode(db, nodeId);
    oid_t rId = n->right;
    dbTtreeNode* r = writeNode(db, rId);
    if (r->balance < 0) {
        oid_t cId = r->left;
        dbTtreeNode* c = writeNode(db, cId);
        r->left = c->right;
        c->right = rId;
        n->right = c->left;
        c->left = nodeId;
        n->balance = c->balance > 0 ? -1 : 0;
        r->balance = c->balance < 0 ? 1 : 0;
        c->balance = 0;
        nodeId = cId;
    } else {
        n->right = r->left;
        r->left = nodeId;
        n->balance = 0;
        r->balance = 0;
        nodeId = rId;
    }
}

void rotateAfterLeftGrowth(dbDatabase* db, oid_t& nodeId)
{
    dbTtreeNode* n = writeNode(db, nodeId);
    oid_t lId = n->left;
    dbTtreeNode* l = writeNode(db, lId);
    if (l->balance < 0) {
        n->left = l->right;
        l->right = nodeId;
        n->balance = 0;
        l->balance = 0;
        nodeId = lId;
    } else {
        oid_t cId = l->right;
        dbTtreeNode* c = writeNode(db, cId);
        l->right = c->left;
        c->left = lId;
        n->left = c->right;
        c->right = nodeId;
        n->balance = c->balance < 0 ? 1 : 0;
        l->balance = c->balance > 0 ? -1 : 0;
        c->balance = 0;
        nodeId = cId;
    }
}

// Inserts into the subtree at nodeId; returns whether it grew in height.
bool insertInto(const TreeKey& k, oid_t& nodeId, oid_t record)
{
    dbDatabase* db = k.db;
    const char* key = k.keyOfRecord(record);
    dbTtreeNode* node = readNode(db, nodeId);
    int n = node->nItems;
    int diff = k.compare(key, node->item[0]);
    if (diff > 0) {
        diff = k.compare(key, node->item[n - 1]);
        if (diff < 0) {
            int low = 1, high = n - 1;
            while (low < high) {
                int mid = (low + high) / 2;
                int d = k.compare(key, node->item[mid]);
                if (d <= 0) {
                    high = mid;
                    if (d == 0) break;
                } else {
                    low = mid + 1;
                }
            }
            int p = high;
            node = writeNode(db, nodeId);
            if (n == dbTtreeNode::pageSize) {
                oid_t displaced;
                if (node->balance < 0) {
                    displaced = node->item[dbTtreeNode::pageSize - 1];
                    std::memmove(&node->item[p + 1], &node->item[p], sizeof(oid_t) * size_t(dbTtreeNode::pageSize - 1 - p));
                    node->item[p] = record;
                } else {
                    displaced = node->item[0];
                    std::memmove(&node->item[0], &node->item[1], sizeof(oid_t) * size_t(p - 1));
                    node->item[p - 1] = record;
                }
                return insertInto(k, nodeId, displaced);
            }
            std::memmove(&node->item[p + 1], &node->item[p], sizeof(oid_t) * size_t(n - p));
            node->item[p] = record;
            node->nItems = uint16_t(n + 1);
            return false;
        }
        if ((node->right != 0 && diff != 0) || n == dbTtreeNode::pageSize) {
            bool grew;
            if (node->right == 0) {
                oid_t created = newNode(db, record);
                writeNode(db, nodeId)->right = created;
                grew = true;
            } else {
                oid_t rightId = node->right;
                grew = insertInto(k, rightId, record);
                if (rightId != readNode(db, nodeId)->right) writeNode(db, nodeId)->right = rightId;
            }
            if (!grew) return false;
            node = writeNode(db, nodeId);
            if (node->balance < 0) {
                node->balance = 0;
                return false;
            }
            if (node->balance == 0) {
                node->balance = 1;
                return true;
            }
            rotateAfterRightGrowth(db, nodeId);
            return false;
        }
        node = writeNode(db, nodeId);
        node->item[n] = record;
        node->nItems = uint16_t(n + 1);
        return false;
    }
    if ((node->left == 0 || diff == 0) && n < dbTtreeNode::pageSize) {
        node = writeNode(db, nodeId);
        std::memmove(&node->item[1], &node->item[0], sizeof(oid_t) * size_t(n));
        node->item[0] = record;
        node->nItems = uint16_t(n + 1);
        return false;
    }
    bool grew;
    if (node->left == 0) {
        oid_t created = newNode(db, record);
        writeNode(db, nodeId)->left = created;
        grew = true;
    } else {
        oid_t leftId = node->left;
        grew = insertInto(k, leftId, record);
        if (leftId != readNode(db, nodeId)->left) writeNode(db, nodeId)->left = leftId;
    }
    if (!grew) return false;
    node = writeNode(db, nodeId);
    if (node->balance > 0) {
        node->balance = 0;
        return false;
    }
    if (node->balance == 0) {
        node->balance = -1;
        return true;
    }
    rotateAfterLeftGrowth(db, nodeId);
    return false;
}

// After the left side of the node shrank; returns whether the subtree shrank.
int balanceLeftBranch(dbDatabase* db, oid_t& nodeId)
{
    dbTtreeNode* n = writeNode(db, nodeId);
    if (n->balance < 0) {
        n->balance = 0;
        return 1;
    }
    if (n->balance == 0) {
        n->balance = 1;
        return 0;
    }
    oid_t rId = n->right;
    dbTtreeNode* r = writeNode(db, rId);
    if (r->balance < 0) {
        oid_t cId = r->left;
        dbTtreeNode* c = writeNode(db, cId);
        r->left = c->right;
        c->right = rId;
        n->right = c->left;
        c->left = nodeId;
        n->balance = c->balance > 0 ? -1 : 0;
        r->balance = c->balance < 0 ? 1 : 0;
        c->balance = 0;
        nodeId = cId;
        return 1;
    }
    n->right = r->left;
    r->left = nodeId;
    nodeId = rId;
    if (r->balance == 0) {
        n->balance = 1;
        r->balance = -1;
        return 0;
    }
    n->balance = 0;
    r->balance = 0;
    return 1;
}

int balanceRightBranch(dbDatabase* db, oid_t& nodeId)
{
    dbTtreeNode* n = writeNode(db, nodeId);
    if (n->balance > 0) {
        n->balance = 0;
        return 1;
    }
    if (n->balance == 0) {
        n->balance = -1;
        return 0;
    }
    oid_t lId = n->left;
    dbTtreeNode* l = writeNode(db, lId);
    if (l->balance > 0) {
        oid_t cId = l->right;
        dbTtreeNode* c = writeNode(db, cId);
        l->right = c->left;
        c->left = lId;
        n->left = c->right;
        c->right = nodeId;
        n->balance = c->balance < 0 ? 1 : 0;
        l->balance = c->balance > 0 ? -1 : 0;
        c->balance = 0;
        nodeId = cId;
        return 1;
    }
    n->left = l->right;
    l->right = nodeId;
    nodeId = lId;
    if (l->balance == 0) {
        n->balance = -1;
        l->balance = 1;
        return 0;
    }
    n->balance = 0;
    l->balance = 0;
    return 1;
}

// Removes from the subtree: -1 not found, 0 removed, 1 removed and shrank.
int removeFrom(const TreeKey& k, oid_t& nodeId, oid_t record, const char* key)
{
    dbDatabase* db = k.db;
    dbTtreeNode* node = readNode(db, nodeId);
    int n = node->nItems;
    int diff = k.compare(key, node->item[0]);
    if (diff <= 0) {
        if (node->left != 0) {
            oid_t leftId = node->left;
            int h = removeFrom(k, leftId, record, key);
            if (leftId != readNode(db, nodeId)->left) writeNode(db, nodeId)->left = leftId;
            if (h > 0) return balanceLeftBranch(db, nodeId);
            if (h == 0) return 0;
            node = readNode(db, nodeId);
        }
        if (diff != 0) return -1;  // not in this subtree
    }
    diff = k.compare(key, node->item[n - 1]);
    if (diff <= 0) {
        for (int i = 0; i < n; i++) {
            if (node->item[i] != record) continue;
            if (n == 1) {
                if (node->right == 0) {
                    oid_t left = node->left;
                    db->freeObject(nodeId);
                    nodeId = left;
                    return 1;
                }
                if (node->left == 0) {
                    oid_t right = node->right;
                    db->freeObject(nodeId);
                    nodeId = right;
                    return 1;
                }
            }
            if (n <= dbTtreeNode::pageSize - 2) {
                if (node->left != 0 && node->balance <= 0) {
                    oid_t prev = node->left;
                    while (readNode(db, prev)->right != 0) prev = readNode(db, prev)->right;
                    const dbTtreeNode* p = readNode(db, prev);
                    oid_t moved = p->item[p->nItems - 1];
                    node = writeNode(db, nodeId);
                    std::memmove(&node->item[1], &node->item[0], sizeof(oid_t) * size_t(i));
                    node->item[0] = moved;
                    oid_t leftId = node->left;
                    int h = removeFrom(k, leftId, moved, k.keyOfRecord(moved));
                    if (leftId != readNode(db, nodeId)->left) writeNode(db, nodeId)->left = leftId;
                    if (h > 0) h = balanceLeftBranch(db, nodeId);
                    return h;
                }
                if (node->right != 0) {
                    oid_t next = node->right;
                    while (readNode(db, next)->left != 0) next = readNode(db, next)->left;
                    oid_t moved = readNode(db, next)->item[0];
                    node = writeNode(db, nodeId);
                    std::memmove(&node->item[i], &node->item[i + 1], sizeof(oid_t) * size_t(n - i - 1));
                    node->item[n - 1] = moved;
                    oid_t rightId = node->right;
                    int h = removeFrom(k, rightId, moved, k.keyOfRecord(moved));
                    if (rightId != readNode(db, nodeId)->right) writeNode(db, nodeId)->right = rightId;
                    if (h > 0) h = balanceRightBranch(db, nodeId);
                    return h;
                }
            }
            node = writeNode(db, nodeId);
            std::memmove(&node->item[i], &node->item[i + 1], sizeof(oid_t) * size_t(n - i - 1));
            node->nItems = uint16_t(n - 1);
            return 0;
        }
    }
    if (node->right == 0) return -1;
    oid_t rightId = node->right;
    int h = removeFrom(k, rightId, record, key);
    if (rightId != readNode(db, nodeId)->right) writeNode(db, nodeId)->right = rightId;
    if (h > 0) return balanceRightBranch(db, nodeId);
    return h;
}

struct Finder {
    dbSearchContext& sc;
    TreeKey k;
    // Visits one item; false stops the search.
    bool visit(oid_t record)
    {
        if (sc.lastKey != nullptr && -k.compare(sc.lastKey, record) >= sc.lastKeyInclusion) return false;
        if (!sc.accepts(record)) return true;
        return sc.cursor->add(record);
    }
    bool find(oid_t nodeId)
    {
        const dbTtreeNode* node = readNode(sc.db, nodeId);
        sc.probes += 1;
        int n = node->nItems;
        if (sc.firstKey != nullptr && k.compare(sc.firstKey, node->item[0]) >= sc.firstKeyInclusion) {
            if (k.compare(sc.firstKey, node->item[n - 1]) < sc.firstKeyInclusion) {
                int low = 0, high = n;
                while (low < high) {
                    int mid = (low + high) / 2;
                    if (k.compare(sc.firstKey, node->item[mid]) < sc.firstKeyInclusion)
                        high = mid;
                    else
                        low = mid + 1;
                }
                for (int i = high; i < n; i++)
                    if (!visit(node->item[i])) return false;
            }
        } else {
            if (node->left != 0 && !find(node->left)) return false;
            node = readNode(sc.db, nodeId);
            for (int i = 0; i < n; i++)
                if (!visit(node->item[i])) return false;
        }
        node = readNode(sc.db, nodeId);
        return node->right == 0 || find(node->right);
    }
};

bool traverse(dbDatabase* db, oid_t nodeId, dbAnyCursor* cursor, dbSearchContext* sc, bool forward)
{
    const dbTtreeNode* node = readNode(db, nodeId);
    oid_t first = forward ? node->left : node->right;
    oid_t last = forward ? node->right : node->left;
    if (first != 0 && !traverse(db, first, cursor, sc, forward)) return false;
    node = readNode(db, nodeId);
    int n = node->nItems;
    for (int j = 0; j < n; j++) {
        oid_t record = node->item[forward ? j : n - 1 - j];
        if (sc != nullptr && !sc->accepts(record)) continue;
        if (!cursor->add(record)) return false;
    }
    return last == 0 || traverse(db, last, cursor, sc, forward);
}

void purgeNode(dbDatabase* db, oid_t nodeId)
{
    if (!db->isObjectOfKind(nodeId, dbTtreeNodeMarker)) return;  // a damaged tree ends here
    const dbTtreeNode* node = readNode(db, nodeId);
    oid_t left = node->left, right = node->right;
    db->freeObject(nodeId);
    if (left != 0) purgeNode(db, left);
    if (right != 0) purgeNode(db, right);
}

}  // namespace

int dbCompareKey(const char* key, const byte* record, int type, int sizeofType, dbComparator comparator, int offs)
{
    const byte* stored = record + offs;
    switch (type) {
    case dbField::tpBool:
        return int(uint8_t(*key)) - int(*stored);
    case dbField::tpInt1:
        return compareValues<int8_t>(key, stored);
    case dbField::tpInt2:
        return compareValues<int16_t>(key, stored);
    case dbField::tpInt4:
        return compareValues<int32_t>(key, stored);
    case dbField::tpInt8:
        return compareValues<int64_t>(key, stored);
    case dbField::tpReal4: {
        float a, b;
        std::memcpy(&a, key, 4);
        std::memcpy(&b, stored, 4);
        return a > b ? 1 : a == b ? 0 : -1;
    }
    case dbField::tpReal8: {
        double a, b;
        std::memcpy(&a, key, 8);
        std::memcpy(&b, stored, 8);
        return a > b ? 1 : a == b ? 0 : -1;
    }
    case dbField::tpString:
        return std::strcmp(key, reinterpret_cast<const char*>(record + load32(stored + 4)));
    case dbField::tpReference:
        return compareValues<uint32_t>(key, stored);
    case dbField::tpRawBinary:
        return (comparator != nullptr ? comparator : reinterpret_cast<dbComparator>(std::memcmp))(key, stored,
                                                                                               size_t(sizeofType));
    default:
        DB_ASSERT(false && "unexpected key type");
        return 0;
    }
}

oid_t dbTtree::create(dbDatabase* db)
{
    oid_t id = db->allocateObject(dbTtreeMarker);
    *reinterpret_cast<oid_t*>(db->get(id)) = 0;
    return id;
}

void dbTtree::insert(dbDatabase* db, oid_t treeId, oid_t record, int type, int sizeofType, dbComparator comparator,
                     int offs)
{
    TreeKey k{db, type, sizeofType, comparator, offs};
    oid_t root = *reinterpret_cast<const oid_t*>(db->get(treeId));
    if (root == 0) {
        oid_t node = newNode(db, record);
        *reinterpret_cast<oid_t*>(db->put(treeId)) = node;
        return;
    }
    oid_t newRoot = root;
    insertInto(k, newRoot, record);
    if (newRoot != root) *reinterpret_cast<oid_t*>(db->put(treeId)) = newRoot;
}

void dbTtree::remove(dbDatabase* db, oid_t treeId, oid_t record, int type, int sizeofType, dbComparator comparator,
                     int offs)
{
    TreeKey k{db, type, sizeofType, comparator, offs};
    oid_t root = *reinterpret_cast<const oid_t*>(db->get(treeId));
    oid_t newRoot = root;
    int h = root != 0 ? removeFrom(k, newRoot, record, k.keyOfRecord(record)) : -1;
    DB_ASSERT(h >= 0);
    if (newRoot != root) *reinterpret_cast<oid_t*>(db->put(treeId)) = newRoot;
}

void dbTtree::find(dbDatabase* db, oid_t treeId, dbSearchContext& sc)
{
    oid_t root = *reinterpret_cast<const oid_t*>(db->get(treeId));
    if (root == 0) return;
    Finder finder{sc, TreeKey{db, sc.type, sc.sizeofType, sc.comparator, sc.offs}};
    finder.find(root);
}

void dbTtree::traverseForward(dbDatabase* db, oid_t treeId, dbAnyCursor* cursor, dbSearchContext* sc)
{
    oid_t root = *reinterpret_cast<const oid_t*>(db->get(treeId));
    if (root != 0) traverse(db, root, cursor, sc, true);
}

void dbTtree::traverseBackward(dbDatabase* db, oid_t treeId, dbAnyCursor* cursor, dbSearchContext* sc)
{
    oid_t root = *reinterpret_cast<const oid_t*>(db->get(treeId));
    if (root != 0) traverse(db, root, cursor, sc, false);
}

void dbTtree::purge(dbDatabase* db, oid_t treeId)
{
    if (!db->isObjectOfKind(treeId, dbTtreeMarker)) return;
    oid_t root = *reinterpret_cast<const oid_t*>(db->get(treeId));
    if (root != 0) purgeNode(db, root);
    *reinterpret_cast<oid_t*>(db->put(treeId)) = 0;
}

void dbTtree::drop(dbDatabase* db, oid_t treeId)
{
    if (!db->isObjectOfKind(treeId, dbTtreeMarker)) return;
    purge(db, treeId);
    db->freeObject(treeId);
}
