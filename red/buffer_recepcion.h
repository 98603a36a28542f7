// The buffer a connection receives into, shared by the readers that cut its bytes into pieces:
// the line splitter (red/lineas.h) and the IMAP store's response reader
// (store/imap/respuesta_imap.h). It holds the bytes received and not yet consumed, in one run
// of memory, so a reader can hand out views of them without a copy.
//
//  - Bytes are written at the end (`Reserva` then `Agregados`, or `Agrega`) and consumed from
//    the front (`Consume`); `Datos` and `Pendientes` are the run not yet consumed.
//  - Room is made only by `Reserva`: when the unconsumed bytes plus the room asked for fit in the
//    memory held, they are moved to its front; otherwise the memory grows to twice its size (at
//    least 64 KiB, and as often as needed). Nothing else moves a byte, so a view of the
//    unconsumed or of already consumed bytes stays valid until the next `Reserva` or `Agrega`.
//  - When everything received has been consumed, the next bytes go to the front again (the
//    bytes consumed stay where they are until then).
//
// Raises nothing but std::bad_alloc.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

namespace tablon::red {

class BufferRecepcion {
 public:
  // Room for `n` more bytes at the end (to receive into without a copy); `Agregados` then says
  // how many of them were written.
  char* Reserva(std::size_t n);
  void Agregados(std::size_t n) { fin_ += n; }
  // Reserva and Agregados for bytes at hand.
  void Agrega(std::string_view datos);

  // The bytes received and not yet consumed: `Pendientes()` of them from `Datos()`.
  const char* Datos() const { return datos_.get() + inicio_; }
  std::size_t Pendientes() const { return fin_ - inicio_; }
  // Consumes the first `n` of them (n <= Pendientes()).
  void Consume(std::size_t n) {
    inicio_ += n;
    if (inicio_ == fin_) inicio_ = fin_ = 0;  // the next bytes go to the front again
  }

 private:
  std::unique_ptr<char[]> datos_;
  std::size_t capacidad_ = 0;
  std::size_t inicio_ = 0;  // first byte not yet consumed
  std::size_t fin_ = 0;     // end of the received bytes
};

}  // namespace tablon::red
