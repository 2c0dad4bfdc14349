// Selection: fills a cursor with the rows of its table that satisfy a query,
// by a walk from START FROM, direct positioning, the whole table, index
// searches, or a scan (split over worker threads for large tables), and
// sorts the result for ORDER BY.

#include "engine286/select.h"

#include "engine286/hashtab.h"
#include "engine286/ttree.h"

#include <condition_variable>
#include <cstring>
#include <string>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace {

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

// The application's array object of ids.
struct AppArray {
    size_t count;
    const oid_t* data;
};

template <class T>
int sign(T a, T b)
{
    return a < b ? -1 : a == b ? 0 : 1;
}

// Reals compare numerically; not-a-number comes after every number and
// equals itself, so that sorting sees a consistent order.
int compareReals(double a, double b)
{
    bool nanA = a != a, nanB = b != b;
    if (nanA || nanB) return int(nanA) - int(nanB);
    return a < b ? -1 : a == b ? 0 : 1;
}

const dbStoredTable* tableRecord(dbDatabase* db, dbTableDescriptor* table)
{
    return reinterpret_cast<const dbStoredTable*>(db->getRow(table->tableId));
}

// A row of a selection, without the checks of getRow: selected ids are rows.
inline byte* rowOf(dbDatabase* db, oid_t id) { return reinterpret_cast<byte*>(db->getBase() + db->getPos(id)); }

}  // namespace

// ---------------------------------------------------------------- row comparison

dbRowComparator::dbRowComparator(dbDatabase* database, dbOrderByNode* keys, const void* base)
    : db(database), order(keys), paramBase(base)
{
}

bool dbRowComparator::comparesPrefixes() const
{
    return order != nullptr && order->field != nullptr && order->field->type == dbField::tpString;
}

dbRowComparator::~dbRowComparator()
{
    delete contextA;
    delete contextB;
}

int dbRowComparator::compareExpression(dbOrderByNode* key, oid_t a, byte* rowA, oid_t b, byte* rowB)
{
    if (contextA == nullptr) {
        const dbStoredTable* table = tableRecord(db, key->table);
        contextA = new dbInheritedAttribute(db, table, paramBase);
        contextB = new dbInheritedAttribute(db, table, paramBase);
    }
    contextA->table = contextB->table = tableRecord(db, key->table);
    contextA->setRow(a, rowA);
    contextB->setRow(b, rowB);
    dbExprValue x = dbEvaluateKey(*contextA, key->expr);
    dbExprValue y = dbEvaluateKey(*contextB, key->expr);
    switch (x.type) {
    case tpInteger:
    case tpBoolean: return sign(x.ivalue, y.ivalue);
    case tpReal: return compareReals(x.fvalue, y.fvalue);
    case tpString: return std::strcmp(x.str, y.str);
    case tpReference: return 0;
    default: DB_ASSERT(false); return 0;
    }
}

int dbRowComparator::compare(oid_t a, oid_t b) { return compare(a, rowOf(db, a), b, rowOf(db, b)); }

int dbRowComparator::compare(oid_t a, byte* rowA, oid_t b, byte* rowB)
{
    for (dbOrderByNode* key = order; key != nullptr; key = key->next) {
        int diff;
        if (key->field != nullptr) {
            dbFieldDescriptor* fd = key->field;
            const byte* p = rowA + fd->storedOffset;
            const byte* q = rowB + fd->storedOffset;
            switch (fd->type) {
            case dbField::tpBool: diff = int(*p) - int(*q); break;
            case dbField::tpInt1: diff = int(int8_t(*p)) - int(int8_t(*q)); break;
            case dbField::tpInt2: diff = int(loadAs<int16_t>(p)) - int(loadAs<int16_t>(q)); break;
            case dbField::tpInt4: diff = sign(loadAs<int32_t>(p), loadAs<int32_t>(q)); break;
            case dbField::tpArray: diff = sign(load32(p), load32(q)); break;
            case dbField::tpInt8: diff = sign(loadAs<int64_t>(p), loadAs<int64_t>(q)); break;
            case dbField::tpReal4: diff = compareReals(loadAs<float>(p), loadAs<float>(q)); break;
            case dbField::tpReal8: diff = compareReals(loadAs<double>(p), loadAs<double>(q)); break;
            case dbField::tpString:
                diff = std::strcmp(reinterpret_cast<const char*>(rowA + load32(p + 4)),
                                   reinterpret_cast<const char*>(rowB + load32(q + 4)));
                break;
            case dbField::tpReference: diff = sign(load32(p), load32(q)); break;
            case dbField::tpRawBinary: diff = fd->comparator(p, q, size_t(fd->storedSize)); break;
            default: DB_ASSERT(false); diff = 0; break;
            }
        } else {
            diff = compareExpression(key, a, rowA, b, rowB);
        }
        if (diff != 0) {
            diff = diff < 0 ? -1 : 1;
            return key->ascent ? diff : -diff;
        }
    }
    return 0;
}

// ---------------------------------------------------------------- sorting

void dbSortSelection(dbSelection& selection, dbDatabase* db, dbOrderByNode* order, const void* paramBase)
{
    size_t n = selection.rowCount;
    if (n < 2) return;
    dbRowComparator greater(db, order, paramBase);
    bool prefixes = greater.comparesPrefixes();
    uint32_t textOffset = prefixes ? uint32_t(order->field->storedOffset) : 0;
    std::vector<dbSortItem> items;
    items.reserve(n);
    for (dbSelection::segment* seg = selection.first; seg != nullptr; seg = seg->next) {
        for (int k = 0; k < seg->count; k++) {
            byte* row = rowOf(db, seg->rows[k]);
            uint64_t prefix = 0;
            if (prefixes) {
                const byte* text = row + load32(row + textOffset + 4);
                for (int b = 0; b < 8 && text[b] != 0; b++) prefix |= uint64_t(text[b]) << (56 - 8 * b);
            }
            items.push_back({prefix, row, seg->rows[k]});
        }
    }
    dbSortArray(items.data(), items.size(), greater);
    size_t i = 0;
    for (dbSelection::segment* seg = selection.first; seg != nullptr; seg = seg->next)
        for (int k = 0; k < seg->count; k++) seg->rows[k] = items[i++].id;
}

void dbReverseSelection(dbSelection& selection)
{
    dbSelection::segment* seg = selection.first;
    while (seg != nullptr) {
        dbSelection::segment* next = seg->next;
        std::swap(seg->next, seg->prev);
        for (int lo = 0, hi = seg->count - 1; lo < hi; lo++, hi--) std::swap(seg->rows[lo], seg->rows[hi]);
        seg = next;
    }
    std::swap(selection.first, selection.last);
    selection.curr = selection.first;
    selection.position = 0;
}

// ---------------------------------------------------------------- index use

namespace {

// The extra tests of an index search: the filter of an AND and, for a LIKE
// whose pattern is more than a prefix, the LIKE itself.
struct IndexTests {
    dbExprNode* first;
    dbExprNode* second;
};

bool indexTestsHold(dbSearchContext& sc, oid_t record)
{
    const auto* tests = static_cast<const IndexTests*>(sc.extra);
    const dbStoredTable* table = tableRecord(sc.db, sc.cursor->table);
    for (dbExprNode* test : {tests->first, tests->second})
        if (test != nullptr && !dbEvaluateCondition(sc.db, test, record, table, sc.cursor)) return false;
    return true;
}

bool isSelfLoad(const dbExprNode* n)
{
    return (n->cop >= dbvmLoadSelfBool && n->cop <= dbvmLoadSelfReference) || n->cop == dbvmLoadSelfRawBinary;
}

// A right-hand operand an index can use: its value as the field's stored
// key, in `slot` (strings and raw bytes: their address).
bool readKey(const dbExprNode* n, const dbFieldDescriptor* f, const void* paramBase, char slot[8], const char*& key)
{
    auto address = [&](const void* var) {
        return reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(var) + reinterpret_cast<uintptr_t>(paramBase));
    };
    bool isInteger = false, isReal = false;
    int64_t ivalue = 0;
    double fvalue = 0;
    const char* text = nullptr;
    switch (n->cop) {
    case dbvmLoadTrue: ivalue = 1; isInteger = true; break;
    case dbvmLoadFalse: ivalue = 0; isInteger = true; break;
    case dbvmIntConst: ivalue = n->ivalue; isInteger = true; break;
    case dbvmRealConst: fvalue = n->fvalue; isReal = true; break;
    case dbvmStringConst: text = n->svalue.str; break;
    case dbvmVariableBool: ivalue = *static_cast<const uint8_t*>(address(n->var)); isInteger = true; break;
    case dbvmVariableInt1: ivalue = *static_cast<const int8_t*>(address(n->var)); isInteger = true; break;
    case dbvmVariableInt2: { int16_t v; std::memcpy(&v, address(n->var), 2); ivalue = v; isInteger = true; break; }
    case dbvmVariableInt4: { int32_t v; std::memcpy(&v, address(n->var), 4); ivalue = v; isInteger = true; break; }
    case dbvmVariableInt8: std::memcpy(&ivalue, address(n->var), 8); isInteger = true; break;
    case dbvmVariableReal4: { float v; std::memcpy(&v, address(n->var), 4); fvalue = v; isReal = true; break; }
    case dbvmVariableReal8: std::memcpy(&fvalue, address(n->var), 8); isReal = true; break;
    case dbvmVariableString: text = static_cast<const char*>(n->var); break;
    case dbvmVariableStringPtr: std::memcpy(&text, address(n->var), sizeof text); if (text == nullptr) text = ""; break;
    case dbvmVariableReference: {
        if (f->type != dbField::tpReference) return false;
        std::memcpy(slot, address(n->var), 4);
        key = slot;
        return true;
    }
    case dbvmLoadNull:
        if (f->type != dbField::tpReference) return false;
        std::memset(slot, 0, 4);
        key = slot;
        return true;
    case dbvmVariableRawBinary:
        if (f->type != dbField::tpRawBinary) return false;
        key = static_cast<const char*>(address(n->var));
        return true;
    default:
        return false;
    }
    switch (f->type) {
    case dbField::tpString:
        if (text == nullptr) return false;
        key = text;
        return true;
    case dbField::tpBool:
    case dbField::tpInt1:
    case dbField::tpInt2:
    case dbField::tpInt4:
    case dbField::tpInt8: {
        if (!isInteger) return false;
        // A value the field cannot hold is left to the scan, which compares
        // it exactly.
        int size = f->storedSize;
        if (size < 8) {
            int64_t limit = int64_t(1) << (8 * size - 1);
            if (f->type == dbField::tpBool ? (ivalue < 0 || ivalue > 255) : (ivalue < -limit || ivalue >= limit))
                return false;
        }
        std::memcpy(slot, &ivalue, size_t(size));  // little-endian: the low bytes
        key = slot;
        return true;
    }
    case dbField::tpReal4: {
        if (!isInteger && !isReal) return false;
        float v = isReal ? float(fvalue) : float(ivalue);
        std::memcpy(slot, &v, 4);
        key = slot;
        return true;
    }
    case dbField::tpReal8: {
        if (!isInteger && !isReal) return false;
        double v = isReal ? fvalue : double(ivalue);
        std::memcpy(slot, &v, 8);
        key = slot;
        return true;
    }
    default:
        return false;
    }
}

enum class Range { equal, greater, greaterEqual, less, lessEqual, between, like, none };

Range rangeOf(int cop)
{
    switch (cop) {
    case dbvmEqInt: case dbvmEqBinary: case dbvmEqReal: case dbvmEqReference: case dbvmEqString: return Range::equal;
    case dbvmGtInt: case dbvmGtBinary: case dbvmGtReal: case dbvmGtString: return Range::greater;
    case dbvmGeInt: case dbvmGeBinary: case dbvmGeReal: case dbvmGeString: return Range::greaterEqual;
    case dbvmLtInt: case dbvmLtBinary: case dbvmLtReal: case dbvmLtString: return Range::less;
    case dbvmLeInt: case dbvmLeBinary: case dbvmLeReal: case dbvmLeString: return Range::lessEqual;
    case dbvmBetweenInt: case dbvmBetweenBinary: case dbvmBetweenReal: case dbvmBetweenString: return Range::between;
    case dbvmLikeString: case dbvmLikeEscapeString: return Range::like;
    default: return Range::none;
    }
}

// The one place where index searches are tried. When the predicate has the
// form field op constant-or-parameter (or LIKE with a prefix) on a field of
// the current row with a hash table or T-tree, the index is searched, every
// row found that also satisfies `filter` (when given) is added to the cursor,
// `searchedField` is set to the field whose index was used, and true is
// returned. Predicates on fields reached through references are tested by a
// scan.
bool applyIndex(dbDatabase* db, dbExprNode* predicate, dbExprNode* filter, dbAnyCursor* cursor,
                dbFieldDescriptor*& searchedField)
{
    Range range = rangeOf(predicate->cop);
    if (range == Range::none) return false;
    dbExprNode* left = predicate->operand[0];
    if (!isSelfLoad(left)) return false;
    dbFieldDescriptor* f = left->ref.field;
    if (f == nullptr || (f->hashTable == 0 && f->tTree == 0)) return false;
    const void* paramBase = cursor->parameterBase;

    char slots[2][8];
    const char* first = nullptr;
    const char* second = nullptr;
    std::string prefix, upper;
    IndexTests tests{filter, nullptr};
    dbSearchContext sc;
    sc.db = db;
    sc.cursor = cursor;
    sc.type = f->type;
    sc.sizeofType = f->storedSize;
    sc.comparator = f->comparator;
    sc.offs = f->storedOffset;

    bool useHash = false;
    if (range == Range::like) {
        const char* pattern = nullptr;
        if (!readKey(predicate->operand[1], f, paramBase, slots[0], pattern) || f->type != dbField::tpString) return false;
        int escape = -1;
        if (predicate->cop == dbvmLikeEscapeString) {
            const char* esc = nullptr;
            if (!readKey(predicate->operand[2], f, paramBase, slots[1], esc) || esc == nullptr) return false;
            escape = static_cast<unsigned char>(esc[0]);
        }
        size_t len = std::strlen(pattern);
        size_t special = 0;
        while (special < len && pattern[special] != '%' && pattern[special] != '_' &&
               static_cast<unsigned char>(pattern[special]) != escape)
            special++;
        if (special == len) {
            range = Range::equal;
            first = second = pattern;
            useHash = f->hashTable != 0;
        } else {
            if (f->tTree == 0) return false;
            if (special == 0) {
                if (len == 1 && pattern[0] == '%') {
                    first = second = nullptr;  // every key
                } else {
                    return false;
                }
            } else {
                prefix.assign(pattern, special);
                upper = prefix;
                if (static_cast<unsigned char>(upper.back()) == 255) {
                    upper += "\xff\xff\xff";
                    sc.lastKeyInclusion = 1;
                } else {
                    upper.back() = char(static_cast<unsigned char>(upper.back()) + 1);
                    sc.lastKeyInclusion = 0;
                }
                first = prefix.c_str();
                second = upper.c_str();
                sc.firstKeyInclusion = 1;
                // Anything beyond a single final "%" still has to be tested.
                if (!(special + 1 == len && pattern[special] == '%')) tests.second = predicate;
            }
            sc.firstKey = first;
            sc.lastKey = second;
            range = Range::like;
        }
    } else {
        if (!readKey(predicate->operand[1], f, paramBase, slots[0], first)) return false;
        if (range == Range::between && !readKey(predicate->operand[2], f, paramBase, slots[1], second)) return false;
    }

    switch (range) {
    case Range::equal:
        sc.firstKey = sc.lastKey = first;
        useHash = f->hashTable != 0;
        break;
    case Range::greater: sc.firstKey = first; sc.firstKeyInclusion = 0; break;
    case Range::greaterEqual: sc.firstKey = first; sc.firstKeyInclusion = 1; break;
    case Range::less: sc.lastKey = first; sc.lastKeyInclusion = 0; break;
    case Range::lessEqual: sc.lastKey = first; sc.lastKeyInclusion = 1; break;
    case Range::between: {
        sc.firstKey = first;
        sc.lastKey = second;
        bool same = f->type == dbField::tpString ? std::strcmp(first, second) == 0
                                                 : std::memcmp(first, second, size_t(f->storedSize)) == 0;
        useHash = same && f->hashTable != 0;
        break;
    }
    default:
        break;
    }
    if (!useHash && f->tTree == 0) return false;
    if (tests.first != nullptr || tests.second != nullptr) {
        sc.condition = tests.first != nullptr ? tests.first : tests.second;
        sc.extra = &tests;
        sc.holds = indexTestsHold;
    }
    if (useHash)
        dbHashIndex::find(db, f->hashTable, sc);
    else
        dbTtree::find(db, f->tTree, sc);
    searchedField = f;
    return true;
}

// An ORDER BY on a single field with a T-tree is answered by walking the
// T-tree in key order, adding the rows that satisfy the condition.
bool selectByOrderedIndex(dbDatabase* db, dbAnyCursor* cursor, dbExprNode* condition, dbOrderByNode* order)
{
    if (order == nullptr || order->next != nullptr || order->field == nullptr || order->expr != nullptr) return false;
    dbFieldDescriptor* f = order->field;
    if (f->tTree == 0 || f->ownerTable != cursor->table) return false;
    IndexTests tests{condition->cop == dbvmVoid ? nullptr : condition, nullptr};
    dbSearchContext sc;
    sc.db = db;
    sc.cursor = cursor;
    sc.condition = tests.first;
    sc.extra = &tests;
    sc.holds = indexTestsHold;
    if (order->ascent)
        dbTtree::traverseForward(db, f->tTree, cursor, &sc);
    else
        dbTtree::traverseBackward(db, f->tTree, cursor, &sc);
    return true;
}

// Orders the rows an index search produced: they come in the index's order,
// which only a single ascending or descending key on the searched field of
// the query's own table can use as it is.
void orderIndexResult(dbDatabase* db, dbAnyCursor* cursor, dbQuery& query, dbFieldDescriptor* field,
                      bool wholeCondition)
{
    dbOrderByNode* order = query.order;
    if (order == nullptr) return;
    bool keepOrder = field != nullptr && field->ownerTable == query.table && wholeCondition &&
                     order->next == nullptr && order->field == field;
    if (!keepOrder)
        dbSortSelection(cursor->selection, db, order, cursor->parameterBase);
    else if (!order->ascent)
        dbReverseSelection(cursor->selection);
}

// ---------------------------------------------------------------- thread pool

// The worker threads of parallel scans, shared by all databases of the
// process and started on first use.
class dbThreadPool {
public:
    using Job = void (*)(void*);

    static dbThreadPool& instance()
    {
        static dbThreadPool pool;
        return pool;
    }
    void run(Job job, void* arg, int threadsWanted)
    {
        std::lock_guard<std::mutex> guard(mutex);
        while (int(threads.size()) < threadsWanted) threads.emplace_back(&dbThreadPool::work, this);
        jobs.push_back({job, arg});
        ready.notify_one();
    }
    ~dbThreadPool()
    {
        {
            std::lock_guard<std::mutex> guard(mutex);
            stopping = true;
        }
        ready.notify_all();
        for (std::thread& t : threads) t.join();
    }

private:
    struct Task {
        Job job;
        void* arg;
    };
    void work()
    {
        for (;;) {
            Task task;
            {
                std::unique_lock<std::mutex> lock(mutex);
                ready.wait(lock, [this] { return stopping || !jobs.empty(); });
                if (jobs.empty()) return;
                task = jobs.front();
                jobs.pop_front();
            }
            task.job(task.arg);
        }
    }
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Task> jobs;
    std::vector<std::thread> threads;
    bool stopping = false;
};

// ---------------------------------------------------------------- scans

constexpr int maxWorkers = 64;

struct ParallelScan {
    dbDatabase* db;
    dbExprNode* condition;
    dbOrderByNode* order;
    const void* paramBase;
    const dbStoredTable* table;
    int workers;
    std::vector<oid_t> rows[maxWorkers];
    std::exception_ptr failure[maxWorkers];
    std::mutex mutex;
    std::condition_variable finished;
    int running = 0;
};

struct WorkerStart {
    ParallelScan* scan;
    int worker;
};

oid_t nextRow(dbDatabase* db, const dbStoredTable* table, oid_t id)
{
    if (id == table->lastRow) return 0;
    return reinterpret_cast<const dbRecord*>(db->getRow(id))->next;
}

// Worker k tests rows k, k + workers, k + 2 * workers ... of the row chain.
void scanPart(ParallelScan& s, int k)
{
    try {
        dbInheritedAttribute ctx(s.db, s.table, s.paramBase);
        std::vector<oid_t>& found = s.rows[k];
        oid_t id = s.table->firstRow;
        for (int i = 0; i < k && id != 0; i++) id = nextRow(s.db, s.table, id);
        while (id != 0) {
            ctx.setRow(id, reinterpret_cast<byte*>(s.db->getRow(id)));
            if (ctx.holds(s.condition)) found.push_back(id);
            for (int i = 0; i < s.workers && id != 0; i++) id = nextRow(s.db, s.table, id);
        }
        if (s.order != nullptr) {
            dbRowComparator greater(s.db, s.order, s.paramBase);
            dbSortArray(found.data(), found.size(), greater);
        }
    } catch (...) {
        s.failure[k] = std::current_exception();
    }
}

void runWorker(void* arg)
{
    auto* start = static_cast<WorkerStart*>(arg);
    ParallelScan& s = *start->scan;
    scanPart(s, start->worker);
    std::lock_guard<std::mutex> guard(s.mutex);
    if (--s.running == 0) s.finished.notify_all();
}

void parallelScan(dbDatabase* db, dbAnyCursor* cursor, dbExprNode* condition, dbOrderByNode* order,
                  const dbStoredTable* table)
{
    ParallelScan s;
    s.db = db;
    s.condition = condition;
    s.order = order;
    s.paramBase = cursor->parameterBase;
    s.table = table;
    s.workers = db->getThreadCount() < maxWorkers ? db->getThreadCount() : maxWorkers;
    WorkerStart starts[maxWorkers];
    s.running = s.workers - 1;
    dbThreadPool& pool = dbThreadPool::instance();
    for (int k = 0; k < s.workers - 1; k++) {
        starts[k] = {&s, k};
        pool.run(runWorker, &starts[k], s.workers - 1);
    }
    // The calling thread is the last worker.
    scanPart(s, s.workers - 1);
    {
        std::unique_lock<std::mutex> lock(s.mutex);
        s.finished.wait(lock, [&s] { return s.running == 0; });
    }
    for (int k = 0; k < s.workers; k++)
        if (s.failure[k]) std::rethrow_exception(s.failure[k]);
    if (order == nullptr) {
        for (int k = 0; k < s.workers; k++)
            for (oid_t id : s.rows[k]) cursor->selection.add(id);
        return;
    }
    // Merge: the worker whose next row compares lowest gives it (the lowest
    // worker number on ties).
    dbRowComparator comparator(db, order, cursor->parameterBase);
    size_t next[maxWorkers] = {};
    for (;;) {
        int best = -1;
        for (int k = 0; k < s.workers; k++) {
            if (next[k] == s.rows[k].size()) continue;
            if (best < 0 || comparator.compare(s.rows[k][next[k]], s.rows[best][next[best]]) < 0) best = k;
        }
        if (best < 0) break;
        cursor->selection.add(s.rows[best][next[best]++]);
    }
}

void sequentialScan(dbDatabase* db, dbAnyCursor* cursor, dbExprNode* condition, const dbStoredTable* table)
{
    if (cursor->selection.rowCount >= cursor->limit) return;
    bool all = condition->cop == dbvmVoid;
    dbInheritedAttribute ctx(db, table, cursor->parameterBase);
    oid_t last = table->lastRow;
    for (oid_t id = table->firstRow; id != 0;) {
        byte* row = reinterpret_cast<byte*>(db->getRow(id));
        bool found = all;
        if (!all) {
            ctx.setRow(id, row);
            found = ctx.holds(condition);
        }
        if (found && !cursor->add(id)) break;
        if (id == last) break;
        id = reinterpret_cast<const dbRecord*>(row)->next;
    }
}

// Walks the rows reachable from the START FROM rows through the FOLLOW BY
// fields, visiting each row once.
void startFromWalk(dbDatabase* db, dbAnyCursor* cursor, dbQuery& query, const dbStoredTable* table)
{
    std::vector<oid_t> stack;
    stack.reserve(1024);
    uintptr_t base = reinterpret_cast<uintptr_t>(cursor->parameterBase);
    const byte* variable = reinterpret_cast<const byte*>(reinterpret_cast<uintptr_t>(query.startVariable) + base);
    auto pushArray = [&](const AppArray& array) {
        // Last first, so that they come off in array order.
        for (size_t i = array.count; i-- > 0;)
            if (array.data[i] != 0) stack.push_back(array.data[i]);
    };
    switch (query.startFrom) {
    case dbCompiledQuery::StartFromFirst:
        if (table->firstRow != 0) stack.push_back(table->firstRow);
        break;
    case dbCompiledQuery::StartFromLast:
        if (table->lastRow != 0) stack.push_back(table->lastRow);
        break;
    case dbCompiledQuery::StartFromRef: {
        oid_t id = loadAs<oid_t>(variable);
        if (id != 0) stack.push_back(id);
        break;
    }
    case dbCompiledQuery::StartFromArray:
        pushArray(loadAs<AppArray>(variable));
        break;
    case dbCompiledQuery::StartFromArrayPtr: {
        const byte* array = loadAs<const byte*>(variable);
        if (array != nullptr) pushArray(loadAs<AppArray>(array));
        break;
    }
    default:
        break;
    }
    cursor->useBitmap();
    // Visited rows are always marked, so that cycles end whatever the
    // cursor's limit.
    std::vector<uint32_t> visited((db->getIndexSize() + 31) / 32);
    auto isVisited = [&](oid_t id) { return id / 32 < visited.size() && (visited[id / 32] & (1u << (id % 32))) != 0; };
    dbExprNode* condition = query.tree;
    dbInheritedAttribute ctx(db, table, cursor->parameterBase);
    while (!stack.empty()) {
        oid_t id = stack.back();
        stack.pop_back();
        if (isVisited(id)) continue;
        if (id / 32 < visited.size()) visited[id / 32] |= 1u << (id % 32);
        byte* row = reinterpret_cast<byte*>(db->getRow(id));
        ctx.setRow(id, row);
        if (condition->cop == dbvmVoid || ctx.holds(condition)) {
            if (!cursor->add(id)) break;
        } else {
            cursor->mark(id);
        }
        for (dbFollowByNode* f = query.follow; f != nullptr; f = f->next) {
            const byte* p = row + f->field->storedOffset;
            if (f->field->type == dbField::tpReference) {
                oid_t ref = load32(p);
                if (ref != 0 && !isVisited(ref)) stack.push_back(ref);
            } else {
                uint32_t count = load32(p);
                const byte* elements = row + load32(p + 4);
                for (uint32_t i = count; i-- > 0;) {
                    oid_t ref = load32(elements + 4 * i);
                    if (ref != 0 && !isVisited(ref)) stack.push_back(ref);
                }
            }
        }
    }
}

}  // namespace

// ---------------------------------------------------------------- select

void dbDatabase::select(dbAnyCursor* cursor, dbQuery& query)
{
    DB_ASSERT(opened);
    dbDatabaseThreadContext* ctx = getThreadContext();
    DB_ASSERT(ctx != NULL);
    {
        dbCriticalSection guard(query.mutex);
        if (query.tree == nullptr || query.table != cursor->table) {
            if (!dbCompiler::forThread(this)->compile(this, cursor->table, query)) return;
        }
    }
    beginTransaction(cursor->type == dbCursorForUpdate ? dbExclusiveLock : dbSharedLock);
    const dbStoredTable* table = tableRecord(this, cursor->table);
    dbExprNode* condition = query.tree;

    if (query.startFrom != dbCompiledQuery::StartFromAny) {
        cursor->registerCursor();
        startFromWalk(this, cursor, query, table);
        if (query.order != nullptr) dbSortSelection(cursor->selection, this, query.order, cursor->parameterBase);
        return;
    }
    if (condition->cop == dbvmVoid && query.order == nullptr) {
        selectAll(cursor);
        return;
    }
    if (condition->cop == dbvmEqReference) {
        // current = reference parameter: just that row.
        dbExprNode* l = condition->operand[0];
        dbExprNode* r = condition->operand[1];
        if (l->cop == dbvmVariableReference && r->cop == dbvmCurrent) std::swap(l, r);
        if (l->cop == dbvmCurrent && r->cop == dbvmVariableReference) {
            auto address = reinterpret_cast<uintptr_t>(r->var) + reinterpret_cast<uintptr_t>(cursor->parameterBase);
            cursor->at(loadAs<oid_t>(reinterpret_cast<const void*>(address)));
            return;
        }
    }
    cursor->registerCursor();

    dbFieldDescriptor* searched = nullptr;
    if (condition->cop != dbvmAnd) {
        bool wholeCondition = true;
        if (condition->cop == dbvmOr) cursor->useBitmap();
        while (condition->cop == dbvmOr && cursor->selection.rowCount < cursor->limit &&
               applyIndex(this, condition->operand[0], nullptr, cursor, searched)) {
            condition = condition->operand[1];
            wholeCondition = false;
        }
        if (cursor->selection.rowCount < cursor->limit && applyIndex(this, condition, nullptr, cursor, searched)) {
            orderIndexResult(this, cursor, query, searched, wholeCondition);
            return;
        }
    } else if (applyIndex(this, condition->operand[0], condition->operand[1], cursor, searched)) {
        orderIndexResult(this, cursor, query, searched, true);
        return;
    }
    // Walking the ORDER BY field's T-tree gives sorted rows only when it
    // finds all of them: not after an OR's index searches added some.
    if (cursor->selection.rowCount == 0 && selectByOrderedIndex(this, cursor, condition, query.order)) return;

    if (cursor->selection.rowCount == 0 && getThreadCount() > 1 && table->nRows >= 1000 &&
        cursor->limit > 1999999999) {
        parallelScan(this, cursor, condition, query.order, table);
        return;
    }
    sequentialScan(this, cursor, condition, table);
    if (query.order != nullptr) dbSortSelection(cursor->selection, this, query.order, cursor->parameterBase);
}

size_t dbAnyCursor::select(const char* condition)
{
    dbQuery query(condition);
    return select(query, defaultType);
}
