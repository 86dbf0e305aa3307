// Preloaded into the bridge by the JACK life tests. It notes each libjack thread that tells a
// client its server is lost, and says on standard error when a client is closed while one of
// them still runs: closing cancels such a thread wherever it is, and one cancelled inside the
// allocator leaves the allocator locked for every other thread.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <jack/jack.h>
#include <stdatomic.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

enum { kThreads = 8, kHooks = 32 };
static _Atomic pid_t told[kThreads];

struct Hook {
  JackShutdownCallback plain;
  JackInfoShutdownCallback info;
  void* arg;
};
static struct Hook hooks[kHooks];
static atomic_int hooks_used;

static void NoteThread(void) {
  const pid_t tid = (pid_t)syscall(SYS_gettid);
  for (int i = 0; i < kThreads; ++i) {
    pid_t free_slot = 0;
    if (atomic_load(&told[i]) == tid) return;
    if (atomic_compare_exchange_strong(&told[i], &free_slot, tid)) return;
  }
}

static void Plain(void* p) {
  const struct Hook* h = p;
  NoteThread();
  h->plain(h->arg);
}

static void Info(jack_status_t code, const char* reason, void* p) {
  const struct Hook* h = p;
  NoteThread();
  h->info(code, reason, h->arg);
}

static struct Hook* NewHook(void) {
  const int i = atomic_fetch_add(&hooks_used, 1);
  if (i < kHooks) return &hooks[i];
  fprintf(stderr, "jackwatch: out of hooks, this client's notices go unwatched\n");
  return NULL;
}

void jack_on_shutdown(jack_client_t* client, JackShutdownCallback callback, void* arg) {
  void (*real)(jack_client_t*, JackShutdownCallback, void*);
  *(void**)&real = dlsym(RTLD_NEXT, __func__);
  struct Hook* h = NewHook();
  if (!h) {
    real(client, callback, arg);
    return;
  }
  h->plain = callback;
  h->arg = arg;
  real(client, Plain, h);
}

void jack_on_info_shutdown(jack_client_t* client, JackInfoShutdownCallback callback, void* arg) {
  void (*real)(jack_client_t*, JackInfoShutdownCallback, void*);
  *(void**)&real = dlsym(RTLD_NEXT, __func__);
  struct Hook* h = NewHook();
  if (!h) {
    real(client, callback, arg);
    return;
  }
  h->info = callback;
  h->arg = arg;
  real(client, Info, h);
}

int jack_client_close(jack_client_t* client) {
  int (*real)(jack_client_t*);
  *(void**)&real = dlsym(RTLD_NEXT, __func__);
  for (int i = 0; i < kThreads; ++i) {
    const pid_t tid = atomic_exchange(&told[i], 0);
    if (tid != 0 && syscall(SYS_tgkill, getpid(), tid, 0) == 0)
      fprintf(stderr,
              "jackwatch: a client closed while libjack thread %d that told its loss runs\n",
              (int)tid);
  }
  return real(client);
}
