#include "store/maildir/nombre_archivo.h"

#include <algorithm>
#include <cstdio>

namespace tablon::store::maildir {

namespace {

std::string Ordena(std::string_view banderas) {
  std::string r(banderas);
  std::sort(r.begin(), r.end());
  r.erase(std::unique(r.begin(), r.end()), r.end());
  return r;
}

}  // namespace

std::string_view BanderasDe(std::string_view archivo) {
  const size_t dos_puntos = archivo.find(':');
  if (dos_puntos != std::string_view::npos && archivo.substr(dos_puntos, 3) == ":2,") {
    return archivo.substr(dos_puntos + 3);
  }
  return {};
}

NombreItem SeparaNombre(std::string_view archivo) {
  NombreItem r;
  r.base = std::string(archivo.substr(0, archivo.find(':')));
  r.banderas = std::string(BanderasDe(archivo));
  return r;
}

std::string ComponNombre(std::string_view base, std::string_view banderas) {
  return std::string(base) + ":2," + Ordena(banderas);
}

bool TieneBandera(std::string_view banderas, char bandera) {
  return banderas.find(bandera) != std::string_view::npos;
}

std::string ConBandera(std::string_view banderas, char bandera, bool presente) {
  std::string r;
  for (char c : banderas) {
    if (c != bandera) r += c;
  }
  if (presente) r += bandera;
  return Ordena(r);
}

std::string NuevaBase(std::int64_t segundos, long microsegundos, long pid, std::uint32_t contador,
                      std::string_view host) {
  std::string limpio;
  for (char c : host) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '.';
    limpio += ok ? c : '_';
  }
  if (limpio.empty()) limpio = "localhost";
  char buf[96];
  std::snprintf(buf, sizeof buf, "%010lld.M%06ldP%ldQ%010u.", static_cast<long long>(segundos),
                microsegundos, pid, static_cast<unsigned>(contador));
  return buf + limpio;
}

}  // namespace tablon::store::maildir
