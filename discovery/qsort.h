// A quick sort over any table, driven by three callbacks its client sets.
#ifndef KP6_QSORT_H
#define KP6_QSORT_H

// Remember element i as the pivot (a copy).
extern void (*qsort_store_mid)(unsigned int i);
// -1, 0 or 1 as element i sorts before, with or after the pivot.
extern signed char (*qsort_compare)(unsigned int i);
// Exchange elements i and j.
extern void (*DoSwap)(unsigned int i, unsigned int j);

void quick_sort(int lo, int hi);

#endif
