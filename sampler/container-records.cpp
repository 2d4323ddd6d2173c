// ryxps records: freeing a pass's container list.
#include "container-records.h"

#include <cstdlib>

void ryx_free_list(ryx_entry *list) {
    while (list) {
        ryx_entry *next = list->next;
        for (threadinfo *t = list->threadinfo_head; t;) {
            threadinfo *tn = t->next;
            free(t);
            t = tn;
        }
        free(list);
        list = next;
    }
}
