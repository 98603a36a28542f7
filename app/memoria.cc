#include "app/memoria.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tablon {

namespace {

constexpr const char* kAjuste = "glibc.malloc.hugetlb=1";

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kConSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kConSanitizer = true;
#else
constexpr bool kConSanitizer = false;
#endif
#else
constexpr bool kConSanitizer = false;
#endif

// The kernel offers transparent huge pages to a program that asks (madvise) or to all.
bool HayPaginasGrandes() {
  std::FILE* f = std::fopen("/sys/kernel/mm/transparent_hugepage/enabled", "r");
  if (!f) return false;
  char linea[128] = {};
  const bool leida = std::fgets(linea, sizeof linea, f) != nullptr;
  std::fclose(f);
  return leida && (std::strstr(linea, "[always]") || std::strstr(linea, "[madvise]"));
}

}  // namespace

void PreparaMemoria(char** argv) {
  if (kConSanitizer || !argv || !argv[0]) return;
  if (const char* m = std::getenv("TABLON_MEMORIA"); m && std::strcmp(m, "normal") == 0) return;
  const char* previo = std::getenv("GLIBC_TUNABLES");
  // Already asked for (by the first execution, or by the user): nothing more to do.
  if (previo && std::strstr(previo, "glibc.malloc.hugetlb")) return;
  if (!HayPaginasGrandes()) return;
  std::string ajustes = previo && *previo ? std::string(previo) + ":" + kAjuste : std::string(kAjuste);
  if (setenv("GLIBC_TUNABLES", ajustes.c_str(), 1) != 0) return;
  execv("/proc/self/exe", argv);
  // Not executed (no /proc, say): run as we are, and leave the environment as it was.
  if (previo) {
    setenv("GLIBC_TUNABLES", previo, 1);
  } else {
    unsetenv("GLIBC_TUNABLES");
  }
}

}  // namespace tablon
