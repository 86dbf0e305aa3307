/* Counts heap allocations of a process for the benchmark: every malloc, calloc, realloc and
 * aligned allocation adds one to a counter in the file named by QB_ALLOC_COUNTER, which the
 * benchmark reads from outside.   LD_PRELOAD=libquillbox_alloccount.so program */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);

static uint64_t* counter;

__attribute__((constructor)) static void Open(void) {
  const char* path = getenv("QB_ALLOC_COUNTER");
  if (!path) return;
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  if (ftruncate(fd, 4096) == 0) {
    void* p = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p != MAP_FAILED) counter = (uint64_t*)p;
  }
  close(fd);
}

static void Count(void) {
  if (counter) __atomic_fetch_add(counter, 1, __ATOMIC_RELAXED);
}

void* malloc(size_t n) {
  Count();
  return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
  Count();
  return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
  Count();
  return __libc_realloc(p, n);
}
void* memalign(size_t alignment, size_t n) {
  Count();
  return __libc_memalign(alignment, n);
}
void* aligned_alloc(size_t alignment, size_t n) {
  Count();
  return __libc_memalign(alignment, n);
}
int posix_memalign(void** out, size_t alignment, size_t n) {
  Count();
  void* p = __libc_memalign(alignment, n);
  if (!p) return 12; /* ENOMEM */
  *out = p;
  return 0;
}
