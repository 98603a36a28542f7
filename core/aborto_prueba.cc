#include "core/aborto_prueba.h"

#include <unistd.h>

#include <cstdlib>

namespace tablon {

namespace {

long LimiteDeEntorno() {
  const char* v = std::getenv("TABLON_PRUEBA_ABORTA_EN");
  if (!v || !*v) return 0;
  char* fin = nullptr;
  const long n = std::strtol(v, &fin, 10);
  return fin && *fin == '\0' && n > 0 ? n : 0;
}

}  // namespace

void PuntoDeEscritura() noexcept {
  static const long limite = LimiteDeEntorno();
  static long cuenta = 0;
  if (limite > 0 && ++cuenta == limite) ::_exit(kSalidaAbortoPrueba);
}

}  // namespace tablon
