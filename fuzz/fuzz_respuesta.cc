// NNTP reply bytes split into lines fed whole and fed one byte at a time: the same lines, the
// same error, and no line longer than the bound or holding its LF. Each line also goes through
// the status, group-reply and dot-unstuffing readers.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/error.h"
#include "nntp/respuesta.h"

namespace {

constexpr std::size_t kMaxima = 1024;

struct Resultado {
  std::vector<std::string> lineas;
  bool error = false;
};

void Examina(std::string_view l) {
  if (l.size() > kMaxima || l.find('\n') != std::string_view::npos) __builtin_trap();
  if (auto e = tablon::nntp::AnalizaEstado(l)) {
    if (e->codigo < 100 || e->codigo > 599) __builtin_trap();
    (void)tablon::nntp::AnalizaGrupo(e->texto);
  }
  const std::string_view sin = tablon::nntp::SinRelleno(l);
  if (sin.size() + 1 < l.size()) __builtin_trap();
  (void)tablon::nntp::EsFinDeBloque(l);
  (void)tablon::nntp::LineaLegible(l);
}

Resultado Lee(std::string_view datos, std::size_t trozo) {
  Resultado r;
  tablon::nntp::Lineas lineas(kMaxima);
  try {
    for (std::size_t i = 0; i < datos.size(); i += trozo) {
      lineas.Agrega(datos.substr(i, trozo));
      while (auto l = lineas.Siguiente()) {
        Examina(*l);
        r.lineas.emplace_back(*l);
      }
    }
  } catch (const tablon::Error& e) {
    if (e.Number() != tablon::errnum::kProtocolo) __builtin_trap();
    r.error = true;
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view datos(reinterpret_cast<const char*>(data), size);
  const Resultado entero = Lee(datos, datos.size() ? datos.size() : 1);
  const Resultado byte_a_byte = Lee(datos, 1);
  // Fed whole, an over-long line is noticed only at its end; byte by byte, as soon as the bound
  // is passed. The lines before the error are the same either way.
  const std::size_t n = std::min(entero.lineas.size(), byte_a_byte.lineas.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (entero.lineas[i] != byte_a_byte.lineas[i]) __builtin_trap();
  }
  if (!entero.error && !byte_a_byte.error && entero.lineas.size() != byte_a_byte.lineas.size()) __builtin_trap();
  return 0;
}
