#include "qsort.h"

void (*qsort_store_mid)(unsigned int) = nullptr;
signed char (*qsort_compare)(unsigned int) = nullptr;
void (*DoSwap)(unsigned int, unsigned int) = nullptr;

// Hoare partition; recursion on the left part, iteration on the right, so
// the stack depth stays small on long tables.
void quick_sort(int lo, int hi)
{
    for (;;) {
        qsort_store_mid((unsigned)((lo + hi) / 2));
        int i = lo, j = hi;
        do {
            while (qsort_compare((unsigned)i) == -1)
                i++;
            while (qsort_compare((unsigned)j) == 1)
                j--;
            if (i <= j) {
                if (i != j)
                    DoSwap((unsigned)i, (unsigned)j);
                i++;
                j--;
            }
        } while (i <= j);
        if (lo < j)
            quick_sort(lo, j);
        if (i >= hi)
            return;
        lo = i;
    }
}
