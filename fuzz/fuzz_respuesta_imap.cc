// IMAP server bytes read into responses fed whole, byte by byte and in pieces of a size taken
// from the input: the same responses and the same failure every way, and no response beyond its
// bounds (taken small from the first input byte). Each response also goes through the FETCH,
// LIST and STATUS readers, which may refuse it only as a protocol error. The input bytes are
// also a mailbox name both ways in modified UTF-7 (whatever is accepted goes back to the same
// bytes) and a string written for a command (it reads back as the same bytes).
#include <cstdint>
#include <string>
#include <vector>

#include "core/error.h"
#include "store/imap/respuesta_imap.h"

namespace {

using namespace tablon::store::imap;

// A value written with lengths before every piece of text, so different values never look alike;
// checks the bounds on the way. `elementos` counts the values seen.
void Firma(const Valor& v, const Limites& l, std::size_t profundidad, std::size_t& elementos,
           std::string& f) {
  if (++elementos > l.elementos || profundidad > l.profundidad) __builtin_trap();
  if (v.tipo == TipoValor::kLiteral && v.texto.size() > l.literal) __builtin_trap();
  f += std::to_string(static_cast<int>(v.tipo)) + ":" + std::to_string(v.texto.size()) + ":" + v.texto;
  if (v.tiene_seccion) f += "[" + std::to_string(v.seccion.size()) + ":" + v.seccion;
  if (v.origen) f += "<" + std::to_string(*v.origen);
  if (v.tipo == TipoValor::kNumero && v.numero != AnalizaNumero64(v.texto)) __builtin_trap();
  if (v.tipo != TipoValor::kLista && !v.elementos.empty()) __builtin_trap();
  f += "(";
  for (const Valor& e : v.elementos) Firma(e, l, profundidad + 1, elementos, f);
  f += ")";
}

std::string Firma(const Respuesta& r, const Limites& l) {
  std::string f = std::to_string(static_cast<int>(r.clase)) + " " + r.etiqueta + " " +
                  (r.numero ? std::to_string(*r.numero) : "-") + " " + r.nombre + " ";
  if (r.codigo) f += "[" + r.codigo->nombre + " " + r.codigo->argumentos + "]";
  f += std::to_string(r.texto.size()) + ":" + r.texto;
  std::size_t elementos = 0;
  for (const Valor& v : r.datos) Firma(v, l, 0, elementos, f);
  return f;
}

// The readers may refuse a response of their kind only as a protocol error.
template <typename F>
void SoloProtocolo(F&& f) {
  try {
    f();
  } catch (const tablon::Error& e) {
    if (e.Number() != tablon::errnum::kProtocolo) __builtin_trap();
  }
}

void Examina(const Respuesta& r) {
  if (r.clase != ClaseRespuesta::kNoEtiquetada) return;
  if (r.nombre == "FETCH") {
    SoloProtocolo([&] {
      const Fetch f = AnalizaFetch(r);
      if (f.numero == 0 || (f.uid && *f.uid == 0)) __builtin_trap();
    });
  } else if (r.nombre == "LIST" || r.nombre == "LSUB") {
    SoloProtocolo([&] {
      const Buzon b = AnalizaBuzon(r);
      if (const auto u = DecodificaNombreBuzon(b.nombre)) {
        if (CodificaNombreBuzon(*u) != b.nombre) __builtin_trap();
      }
    });
  } else if (r.nombre == "STATUS") {
    SoloProtocolo([&] { (void)AnalizaEstadoBuzon(r); });
  }
}

struct Resultado {
  std::vector<std::string> respuestas;
  bool error = false;
};

Resultado Lee(std::string_view datos, std::size_t trozo, const Limites& limites) {
  Resultado r;
  Respuestas lector(limites);
  try {
    for (std::size_t i = 0; i < datos.size(); i += trozo) {
      lector.Agrega(datos.substr(i, trozo));
      while (auto respuesta = lector.Siguiente()) {
        r.respuestas.push_back(Firma(*respuesta, limites));
        Examina(*respuesta);
      }
      if (lector.Pendientes() > limites.respuesta + trozo) __builtin_trap();
    }
  } catch (const tablon::Error& e) {
    if (e.Number() != tablon::errnum::kProtocolo) __builtin_trap();
    r.error = true;
  }
  return r;
}

void Nombres(std::string_view datos) {
  if (const auto u = DecodificaNombreBuzon(datos)) {
    if (CodificaNombreBuzon(*u) != datos) __builtin_trap();
  }
  if (const auto m = CodificaNombreBuzon(datos)) {
    if (DecodificaNombreBuzon(*m) != datos) __builtin_trap();
  }
  if (datos.find('\0') != std::string_view::npos) return;
  const Respuesta r = AnalizaRespuesta("* X " + EscribeAstring(datos));
  if (r.datos.size() != 1 || r.datos[0].texto != datos) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const Limites limites{.linea = 16u + data[0] % 8u * 32u,
                        .literal = data[0] % 5u * 40u,
                        .respuesta = 64u + data[0] % 3u * 200u,
                        .profundidad = data[0] % 6u,
                        .elementos = 1u + data[0] % 7u * 5u};
  const std::string_view datos(reinterpret_cast<const char*>(data) + 2, size - 2);
  const Resultado entero = Lee(datos, datos.size() ? datos.size() : 1, limites);
  const Resultado byte_a_byte = Lee(datos, 1, limites);
  const Resultado trozos = Lee(datos, 1u + data[1] % 16u, limites);
  if (entero.respuestas != byte_a_byte.respuestas || entero.error != byte_a_byte.error ||
      entero.respuestas != trozos.respuestas || entero.error != trozos.error) {
    __builtin_trap();
  }
  Nombres(datos);
  return 0;
}
