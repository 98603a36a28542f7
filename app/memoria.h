// The memory of a pass: a pass keeps one object per article of a group, and on the virtual
// machines Tablón runs on, each fresh 4 KiB page the heap touches costs about 12 µs in the
// kernel — for a large group more than the program's own work. glibc's allocator can back its
// heap with transparent huge pages (its tunable glibc.malloc.hugetlb=1), which takes about a
// tenth of the page faults; the tunable is read only when a process starts.
#pragma once

namespace tablon {

// Called first thing in main, with main's argv. When the tunable is not set yet (and the kernel
// offers transparent huge pages, and the program is not built with a sanitizer, whose allocator
// ignores it), executes this same program once more with the same arguments and
// GLIBC_TUNABLES extended by glibc.malloc.hugetlb=1; it does not return then. Otherwise, or
// when that execution fails, it returns and the program runs as it is. TABLON_MEMORIA=normal
// leaves the allocator alone (for tools that follow one process, as valgrind).
void PreparaMemoria(char** argv);

}  // namespace tablon
