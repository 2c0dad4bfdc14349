#pragma once
// Selection support: comparing rows by an ORDER BY list, sorting and
// reversing selections, and the array sort they use.

#include <cstddef>
#include <utility>

#include "engine286/compiler.h"
#include "engine286/cursor.h"

// A row being sorted: where it lies (so that comparisons need no look-up in
// the object index), its id, and, when the first key is a text field, the
// first 8 bytes of that text as a big-endian number (zero-padded), which
// orders as the bytes do; most comparisons then never touch the rows.
struct dbSortItem {
    uint64_t prefix;
    byte* row;
    oid_t id;
};

// Compares the rows `a` and `b` by the ORDER BY list: negative, zero or
// positive. Expression keys are evaluated for each row with the given
// parameter base.
class dbRowComparator {
public:
    dbRowComparator(dbDatabase* db, dbOrderByNode* order, const void* paramBase);
    ~dbRowComparator();
    dbRowComparator(const dbRowComparator&) = delete;
    dbRowComparator& operator=(const dbRowComparator&) = delete;

    int compare(oid_t a, oid_t b);
    int compare(oid_t a, byte* rowA, oid_t b, byte* rowB);
    bool operator()(oid_t a, oid_t b) { return compare(a, b) > 0; }
    bool operator()(const dbSortItem& a, const dbSortItem& b)
    {
        if (a.prefix != b.prefix) return (a.prefix > b.prefix) == order->ascent;
        return compare(a.id, a.row, b.id, b.row) > 0;
    }
    // Whether the first key is a text field, whose prefixes the items carry.
    bool comparesPrefixes() const;

private:
    int compareExpression(dbOrderByNode* key, oid_t a, byte* rowA, oid_t b, byte* rowB);
    dbDatabase* db;
    dbOrderByNode* order;
    const void* paramBase;
    dbInheritedAttribute* contextA = nullptr;  // made on the first expression key
    dbInheritedAttribute* contextB = nullptr;
};

// Sorts the ids of a selection into ascending order of the ORDER BY list.
void dbSortSelection(dbSelection& selection, dbDatabase* db, dbOrderByNode* order, const void* paramBase);
// Reverses the order of the segments and of the ids inside each segment.
void dbReverseSelection(dbSelection& selection);

namespace dbSortDetail {

constexpr size_t insertionLimit = 50;
// 123456789 * 69069 + 362437 in 32-bit arithmetic: the pivot is taken from
// the same place for every part of a given size.
constexpr uint32_t pivotSeed = 1527239318u;

template <class T, class Greater>
bool inOrder(const T* a, size_t n, Greater& greater)
{
    for (size_t i = 1; i < n; i++)
        if (greater(a[i - 1], a[i])) return false;
    return true;
}

template <class T, class Greater>
void siftDown(T* a, size_t root, size_t n, Greater& greater)
{
    for (;;) {
        size_t child = 2 * root + 1;
        if (child >= n) return;
        if (child + 1 < n && greater(a[child + 1], a[child])) child += 1;
        if (!greater(a[child], a[root])) return;
        std::swap(a[root], a[child]);
        root = child;
    }
}

template <class T, class Greater>
void heapSort(T* a, size_t n, Greater& greater)
{
    for (size_t i = n / 2; i-- > 0;) siftDown(a, i, n, greater);
    for (size_t end = n; end-- > 1;) {
        std::swap(a[0], a[end]);
        siftDown(a, 0, end, greater);
    }
}

// The smallest element goes to the front first, so that it stops every
// insertion.
template <class T, class Greater>
void insertionSort(T* a, size_t n, Greater& greater)
{
    if (n < 2) return;
    size_t smallest = 0;
    for (size_t i = 1; i < n; i++)
        if (greater(a[smallest], a[i])) smallest = i;
    std::swap(a[0], a[smallest]);
    for (size_t i = 2; i < n; i++) {
        T x = a[i];
        size_t j = i;
        while (j > 1 && greater(a[j - 1], x)) {
            a[j] = a[j - 1];
            j -= 1;
        }
        a[j] = x;
    }
}

template <class T, class Greater>
void sortPart(T* a, size_t n, int budget, Greater& greater)
{
    while (n > insertionLimit) {
        if (inOrder(a, n, greater)) return;
        if (budget == 0) {
            heapSort(a, n, greater);
            return;
        }
        std::swap(a[0], a[pivotSeed % (n - 1)]);
        // Position 0 gets the median of positions 0, 1 and n - 1, position 1
        // one not greater and n - 1 one not smaller: they stop the scans.
        if (greater(a[1], a[n - 1])) std::swap(a[1], a[n - 1]);
        if (greater(a[0], a[n - 1])) std::swap(a[0], a[n - 1]);
        if (greater(a[1], a[0])) std::swap(a[1], a[0]);
        T pivot = a[0];
        size_t i = 1;
        size_t j = n - 1;
        for (;;) {
            do i += 1;
            while (i < n - 1 && greater(pivot, a[i]));
            do j -= 1;
            while (j > 0 && greater(a[j], pivot));
            if (i >= j) break;
            std::swap(a[i], a[j]);
        }
        std::swap(a[0], a[j]);
        budget -= 1;
        sortPart(a + j + 1, n - j - 1, budget, greater);
        n = j;
    }
    insertionSort(a, n, greater);
}

}  // namespace dbSortDetail

// Sorts `a` (row ids, or items that stand for rows) into ascending order;
// `greater(x, y)` is the only test made.
// Ordered and reverse-ordered arrays are recognised by one pass each over
// neighbour pairs; otherwise an introspective quicksort with a deterministic
// pivot sorts the array, falling back to heap sort when its depth budget is
// spent, and parts of at most 50 elements are sorted by insertion.
template <class T, class Greater>
void dbSortArray(T* a, size_t n, Greater& greater)
{
    using namespace dbSortDetail;
    if (n <= 1 || inOrder(a, n, greater)) return;
    size_t i = 1;
    while (i < n && !greater(a[i], a[i - 1])) i++;
    if (i == n) {
        for (size_t lo = 0, hi = n - 1; lo < hi; lo++, hi--) std::swap(a[lo], a[hi]);
        return;
    }
    int bits = 0;
    for (size_t q = n / 4; q != 0; q >>= 1) bits += 1;
    sortPart(a, n, 2 * (2 + bits), greater);
}
