#include "red/buffer_recepcion.h"

#include <algorithm>
#include <cstring>

namespace tablon::red {

char* BufferRecepcion::Reserva(std::size_t n) {
  if (fin_ + n <= capacidad_) return datos_.get() + fin_;
  const std::size_t pendientes = fin_ - inicio_;
  if (pendientes + n <= capacidad_) {
    // Move the unread tail to the front instead of growing.
    std::memmove(datos_.get(), datos_.get() + inicio_, pendientes);
  } else {
    std::size_t nueva = std::max<std::size_t>(capacidad_ * 2, 64 * 1024);
    while (nueva < pendientes + n) nueva *= 2;
    auto otro = std::make_unique_for_overwrite<char[]>(nueva);
    if (pendientes) std::memcpy(otro.get(), datos_.get() + inicio_, pendientes);
    datos_ = std::move(otro);
    capacidad_ = nueva;
  }
  inicio_ = 0;
  fin_ = pendientes;
  return datos_.get() + fin_;
}

void BufferRecepcion::Agrega(std::string_view datos) {
  if (datos.empty()) return;
  std::memcpy(Reserva(datos.size()), datos.data(), datos.size());
  Agregados(datos.size());
}

}  // namespace tablon::red
