// NNTP replies as lines become meaning (RFC 3977 §3.1-3.2). Nothing here touches a socket: the
// connection (red/conexion.h) cuts the received bytes into lines (red/lineas.h), and the news
// session reads them with what is here.
//
//  - A status line is three digits, then the end of the line or a blank and free text.
//  - A multi-line block ends with a line holding only "."; a line starting with "." has that
//    first dot removed (dot-unstuffing).
//  - A multi-line block is bounded as a whole by a line count and a byte count (`Limite`):
//    `Bloque` counts what it is given and refuses the line that goes over, so no reply, however
//    long, holds more memory or makes more items than its bound allows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tablon::nntp {

// NNTP status codes this client acts on.
namespace estado {
inline constexpr int kListaCapacidades = 101;
inline constexpr int kListoConPublicacion = 200;
inline constexpr int kListoSinPublicacion = 201;
inline constexpr int kAdios = 205;
inline constexpr int kGrupoSeleccionado = 211;
inline constexpr int kArticuloSigue = 220;
inline constexpr int kArticuloExiste = 223;
inline constexpr int kResumenSigue = 224;
inline constexpr int kGruposNuevosSiguen = 231;
inline constexpr int kAutenticado = 281;
inline constexpr int kSigaConContrasena = 381;
inline constexpr int kSigaConTls = 382;
inline constexpr int kServicioNoDisponible = 400;
inline constexpr int kGrupoInexistente = 411;
inline constexpr int kRangoSinArticulos = 423;
inline constexpr int kArticuloInexistente = 430;
inline constexpr int kAutenticacionRequerida = 480;
inline constexpr int kOrdenDesconocida = 500;
inline constexpr int kErrorDeSintaxis = 501;
inline constexpr int kServicioDenegado = 502;
}  // namespace estado

struct Estado {
  int codigo = 0;
  std::string_view texto;  // after the blank following the code; may be empty
};

// The status line's code and text, or nullopt when the line is not a status line.
std::optional<Estado> AnalizaEstado(std::string_view linea);

// Multi-line blocks.
inline bool EsFinDeBloque(std::string_view linea) { return linea == "."; }
inline std::string_view SinRelleno(std::string_view linea) {
  if (!linea.empty() && linea.front() == '.') linea.remove_prefix(1);
  return linea;
}

// The fields of a 211 reply to GROUP: "count low high name".
struct Grupo {
  std::int64_t cantidad = 0, primero = 0, ultimo = 0;
  std::string_view nombre;
};
std::optional<Grupo> AnalizaGrupo(std::string_view texto);

// The most one multi-line block may hold: lines, and bytes counted as each line's bytes plus
// two for its line end (the terminating "." not included).
struct Limite {
  std::uint64_t lineas = 0;
  std::uint64_t bytes = 0;
};

// Reads one multi-line block line by line within its bound.
class Bloque {
 public:
  // `que` names the reply in error texts ("la respuesta a OVER 1-20").
  Bloque(Limite limite, std::string que) : limite_(limite), que_(std::move(que)) {}

  // Takes the next received line of the block: nullopt when it is the terminating ".", else
  // the line dot-unstuffed. A line beyond the bound (more lines or more bytes than allowed):
  // tablon::Error(errnum::kProtocolo) naming the bound, and every later call raises it too.
  // After the terminating line: tablon::Error(errnum::kArgumentoNoValido).
  std::optional<std::string_view> Linea(std::string_view linea);

  bool Terminado() const { return terminado_; }
  std::uint64_t Lineas() const { return lineas_; }
  std::uint64_t Bytes() const { return bytes_; }

 private:
  Limite limite_;
  std::string que_;
  std::uint64_t lineas_ = 0, bytes_ = 0;
  bool terminado_ = false;
  bool excedido_ = false;
  std::string motivo_;  // the bound that was passed, for the errors after the first
};

}  // namespace tablon::nntp
