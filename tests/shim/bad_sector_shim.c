/* A failing disk for tests and benchmarks, loaded with LD_PRELOAD: reads of
 * one file that touch chosen sectors fail with EIO, the way a drive with bad
 * sectors answers. A read that starts before the first bad sector it touches
 * returns the bytes before it (a short read); one that starts on a bad sector
 * fails. Nothing else is changed.
 *
 *   VELMIRA_SHIM_FILE     the file (or device) whose reads fail
 *   VELMIRA_SHIM_SECTORS  a text file of "FIRST COUNT" lines: runs of bad
 *                         512-byte sectors ('#' starts a comment)
 *
 * This is a test hook; the product never loads it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

typedef ssize_t (*pread_fn)(int, void*, size_t, off_t);

struct range {
  unsigned long long from, to; /* bytes, [from, to) */
};

static pthread_once_t g_once = PTHREAD_ONCE_INIT;
static pread_fn g_real_pread;
static pread_fn g_real_pread64;
static struct range* g_ranges;
static size_t g_count;
static dev_t g_dev;
static ino_t g_ino;

static int by_start(const void* a, const void* b) {
  const struct range* x = a;
  const struct range* y = b;
  return x->from < y->from ? -1 : x->from > y->from;
}

static void load(void) {
  g_real_pread = (pread_fn)dlsym(RTLD_NEXT, "pread");
  g_real_pread64 = (pread_fn)dlsym(RTLD_NEXT, "pread64");
  const char* file = getenv("VELMIRA_SHIM_FILE");
  const char* list = getenv("VELMIRA_SHIM_SECTORS");
  struct stat st;
  if (file == NULL || list == NULL || stat(file, &st) != 0) return;
  g_dev = st.st_dev;
  g_ino = st.st_ino;
  FILE* in = fopen(list, "r");
  if (in == NULL) return;
  size_t capacity = 0;
  char line[256];
  while (fgets(line, sizeof line, in) != NULL) {
    char* hash = strchr(line, '#');
    if (hash != NULL) *hash = '\0';
    unsigned long long first = 0, count = 0;
    if (sscanf(line, "%llu %llu", &first, &count) != 2 || count == 0) continue;
    if (g_count == capacity) {
      capacity = capacity ? capacity * 2 : 64;
      struct range* grown = realloc(g_ranges, capacity * sizeof *grown);
      if (grown == NULL) break;
      g_ranges = grown;
    }
    g_ranges[g_count].from = first * 512;
    g_ranges[g_count].to = (first + count) * 512;
    ++g_count;
  }
  fclose(in);
  qsort(g_ranges, g_count, sizeof *g_ranges, by_start);
}

/* The first bad range that ends after `offset`, or NULL. */
static const struct range* next_bad(unsigned long long offset) {
  size_t lo = 0, hi = g_count;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (g_ranges[mid].to <= offset)
      lo = mid + 1;
    else
      hi = mid;
  }
  /* Ranges may overlap: any later one starting earlier is covered by the sort. */
  return lo < g_count ? &g_ranges[lo] : NULL;
}

static ssize_t shimmed(pread_fn real, int fd, void* buffer, size_t size, off_t offset) {
  pthread_once(&g_once, load);
  if (real == NULL) {
    errno = ENOSYS;
    return -1;
  }
  struct stat st;
  if (g_count == 0 || size == 0 || offset < 0 || fstat(fd, &st) != 0 || st.st_dev != g_dev ||
      st.st_ino != g_ino)
    return real(fd, buffer, size, offset);
  const unsigned long long start = (unsigned long long)offset;
  const struct range* bad = next_bad(start);
  if (bad == NULL || bad->from >= start + size) return real(fd, buffer, size, offset);
  if (bad->from <= start) {
    errno = EIO;
    return -1;
  }
  return real(fd, buffer, (size_t)(bad->from - start), offset);
}

ssize_t pread(int fd, void* buffer, size_t size, off_t offset) {
  pthread_once(&g_once, load);
  return shimmed(g_real_pread, fd, buffer, size, offset);
}

ssize_t pread64(int fd, void* buffer, size_t size, off_t offset) {
  pthread_once(&g_once, load);
  return shimmed(g_real_pread64, fd, buffer, size, offset);
}
