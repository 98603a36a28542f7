// NNTP reply bytes split into lines fed whole and fed one byte at a time: the same lines, the
// same error, and no line longer than the bound or holding its LF. Each line also goes through
// the status, group-reply and dot-unstuffing readers, and the lines read as one multi-line
// block within a line and byte budget taken from the first two input bytes: the block never
// gives more lines or bytes than its budget, it goes over exactly when an independent count
// says so, and it reads the same whichever way the bytes were fed.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/error.h"
#include "nntp/respuesta.h"
#include "red/linea_legible.h"
#include "red/lineas.h"

namespace {

constexpr std::size_t kMaxima = 1024;

struct Resultado {
  std::vector<std::string> lineas;
  bool error = false;
  // The block: the lines it gave back, whether it ended, whether it went over its budget.
  std::vector<std::string> bloque;
  bool fin = false;
  bool excedido = false;
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
  (void)tablon::red::LineaLegible(l);
}

void AlBloque(tablon::nntp::Bloque& bloque, const tablon::nntp::Limite& limite, std::string_view l, Resultado& r) {
  if (r.fin || r.excedido) return;
  try {
    const auto b = bloque.Linea(l);
    if (!b) {
      r.fin = true;
    } else {
      r.bloque.emplace_back(*b);
    }
  } catch (const tablon::Error& e) {
    if (e.Number() != tablon::errnum::kProtocolo) __builtin_trap();
    r.excedido = true;
  }
  if (bloque.Lineas() > limite.lineas || bloque.Bytes() > limite.bytes) __builtin_trap();
  if (bloque.Lineas() != r.bloque.size() || bloque.Terminado() != r.fin) __builtin_trap();
}

Resultado Lee(std::string_view datos, std::size_t trozo, const tablon::nntp::Limite& limite) {
  Resultado r;
  tablon::red::Lineas lineas(kMaxima);
  tablon::nntp::Bloque bloque(limite, "la prueba");
  try {
    for (std::size_t i = 0; i < datos.size(); i += trozo) {
      lineas.Agrega(datos.substr(i, trozo));
      while (auto l = lineas.Siguiente()) {
        Examina(*l);
        r.lineas.emplace_back(*l);
        AlBloque(bloque, limite, *l, r);
      }
    }
  } catch (const tablon::Error& e) {
    if (e.Number() != tablon::errnum::kProtocolo) __builtin_trap();
    r.error = true;
  }
  return r;
}

// What the block must do with `lineas`, counted apart from Bloque: (lines it gives, whether it
// ends, whether it goes over).
void CompruebaCuenta(const Resultado& r, const tablon::nntp::Limite& limite) {
  std::uint64_t n = 0, bytes = 0;
  bool fin = false, excedido = false;
  for (const std::string& l : r.lineas) {
    if (l == ".") {
      fin = true;
      break;
    }
    if (n + 1 > limite.lineas || bytes + l.size() + 2 > limite.bytes) {
      excedido = true;
      break;
    }
    ++n;
    bytes += l.size() + 2;
  }
  if (fin != r.fin || excedido != r.excedido || n != r.bloque.size()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const tablon::nntp::Limite limite{data[0] % 64u, static_cast<std::uint64_t>(data[1]) * 16};
  const std::string_view datos(reinterpret_cast<const char*>(data) + 2, size - 2);
  const Resultado entero = Lee(datos, datos.size() ? datos.size() : 1, limite);
  const Resultado byte_a_byte = Lee(datos, 1, limite);
  CompruebaCuenta(entero, limite);
  CompruebaCuenta(byte_a_byte, limite);
  // Fed whole, an over-long line is noticed only at its end; byte by byte, as soon as the bound
  // is passed. The lines before the error are the same either way.
  const std::size_t n = std::min(entero.lineas.size(), byte_a_byte.lineas.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (entero.lineas[i] != byte_a_byte.lineas[i]) __builtin_trap();
  }
  if (!entero.error && !byte_a_byte.error) {
    if (entero.lineas.size() != byte_a_byte.lineas.size()) __builtin_trap();
    if (entero.bloque != byte_a_byte.bloque || entero.fin != byte_a_byte.fin ||
        entero.excedido != byte_a_byte.excedido) {
      __builtin_trap();
    }
  }
  return 0;
}
