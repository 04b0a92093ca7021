// Repeated INI sections whose records live on the heap.
//
// The framework's standard repeated sections keep their records inside one
// growable array, so a record moves whenever the array grows. Servers and
// their statistics records are referred to by pointer for the whole run (by
// tasks, connections and each other) and hold locks and list heads, so here
// the section's instance array is an array of pointers (elemSize
// sizeof(T *)) and every record is allocated on its own.
//
// T must be default-constructible; ReleaseRecord(T *) must free what the
// entries do not own (it is called after every entry's release).
//
// Threading: as the framework: the caller serialises.
#pragma once

#include "lib/ini.h"

#include <cstdio>
#include <new>

template <typename T, void (*ReleaseRecord)(T *)>
struct tHeapRecords {
    static T *At(const tIniSection *section, int index) {
        return static_cast<T **>(section->ops->instances.buf)[index];
    }
    static int Count(const tIniSection *section) { return section->ops->instances.used; }

    static int Init(tIniSection *section) {
        DynArrayInit(&section->ops->instances, (int)sizeof(T *), 10, DA_DOUBLE);
        return 0;
    }

    // Releases the entries of one record and the record itself.
    static void Free(const tIniSection *section, T *record) {
        for (const tIniEntry *e = section->entries; e->name; e++) e->type->release(e, record);
        ReleaseRecord(record);
        delete record;
    }

    static int New(tIniSection *section, void **instance) {
        tDynArray *da = &section->ops->instances;
        if (DynArrayGrow(da, 1) != 0) return INI_OUT_OF_MEMORY;
        T *record = new (std::nothrow) T();
        if (!record) return INI_OUT_OF_MEMORY;
        for (const tIniEntry *e = section->entries; e->name; e++) {
            int rc = e->type->setDefault(e, record);
            if (rc) {
                Free(section, record);
                return rc;
            }
        }
        static_cast<T **>(da->buf)[da->used++] = record;
        *instance = record;
        return 0;
    }

    static int WriteAll(tIniSection *section, FILE *file, const tIniFile *iniFile) {
        for (int i = 0; i < Count(section); i++) {
            T *record = At(section, i);
            if (fprintf(file, "[%s]\n", section->name) < 0) return INI_WRITE_FAILED;
            for (const tIniEntry *e = section->entries; e->name; e++) {
                int rc = e->type->write(e, record, file, iniFile);
                if (rc) return rc;
            }
            if (fputs("\n", file) < 0) return INI_WRITE_FAILED;
        }
        return 0;
    }

    static void ReleaseAll(tIniSection *section) {
        tDynArray *da = &section->ops->instances;
        for (int i = 0; i < da->used; i++) Free(section, At(section, i));
        DynArrayFree(da);
    }

    // Removes record index from the array and frees it.
    static void Remove(tIniSection *section, int index) {
        T *record = At(section, index);
        DynArrayRemove(&section->ops->instances, index);
        Free(section, record);
    }

    static tIniSectionOps Ops() {
        tIniSectionOps ops{};
        ops.instanceSize = (int)sizeof(T *);
        ops.newInstance = New;
        ops.init = Init;
        ops.writeAll = WriteAll;
        ops.releaseAll = ReleaseAll;
        return ops;
    }
};
