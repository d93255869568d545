// getaddrinfo for names starting "never" hangs for good, for names starting "late" answers "no
// such name" after VENNOCK_TEST_GAI_LATE seconds (12 by default); other names go to the C
// library's. gai_entered() counts the lookups that came in for those two kinds. Preloaded in a
// child interpreter by the lookup tests and bench/bench_lookups.py.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netdb.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
static atomic_int entered;
int gai_entered(void) { return atomic_load(&entered); }
int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints, struct addrinfo** res) {
  if (node && strncmp(node, "never", 5) == 0) {
    atomic_fetch_add(&entered, 1);
    for (;;) sleep(3600);
  }
  if (node && strncmp(node, "late", 4) == 0) {
    atomic_fetch_add(&entered, 1);
    const char* s = getenv("VENNOCK_TEST_GAI_LATE");
    sleep(s ? atoi(s) : 12);
    return EAI_NONAME;
  }
  int (*real)(const char*, const char*, const struct addrinfo*, struct addrinfo**) =
      dlsym(RTLD_NEXT, "getaddrinfo");
  return real(node, service, hints, res);
}
