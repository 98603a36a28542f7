// A received byte stream cut into lines, for the protocols that speak in lines: the connection
// (red/conexion.h) feeds its received bytes into `Lineas` and asks for complete lines, which the
// news session reads as NNTP replies; tests and the fuzzer feed the same bytes in any chunking.
// Nothing here touches a socket.
//
//  - A line ends with LF; a CR right before it is dropped, any other byte (8-bit, bare CR, NUL)
//    is kept as it came. Lines may be of any length up to a bound (16 MiB by default); pending
//    bytes beyond the bound without a line end are a protocol error, not an ever-growing buffer.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "red/buffer_recepcion.h"

namespace tablon::red {

// The longest line accepted by default.
inline constexpr std::size_t kLineaMaxima = std::size_t{16} << 20;

// Splits a byte stream into lines. Lines returned by `Siguiente` stay valid until the next
// call of any other member.
class Lineas {
 public:
  explicit Lineas(std::size_t maxima = kLineaMaxima);

  // Room for up to `n` more bytes at the end of the buffer (to receive into without a copy);
  // `Agregados` then says how many were written.
  char* Reserva(std::size_t n) { return buffer_.Reserva(n); }
  void Agregados(std::size_t n) { buffer_.Agregados(n); }
  void Agrega(std::string_view datos) { buffer_.Agrega(datos); }

  // The next complete line without its line end, or nullopt when more bytes are needed.
  // A line longer than the bound: tablon::Error(errnum::kProtocolo).
  std::optional<std::string_view> Siguiente();

  // Bytes received but not yet returned as lines.
  std::size_t Pendientes() const { return buffer_.Pendientes(); }
  // Moves up to `n` of those bytes, as they came, into `destino`; returns how many.
  std::size_t Toma(char* destino, std::size_t n);

 private:
  BufferRecepcion buffer_;
  std::size_t buscado_ = 0;  // bytes not yet returned known to hold no LF
  std::size_t maxima_;
};

}  // namespace tablon::red
