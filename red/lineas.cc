#include "red/lineas.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/error.h"
#include "core/traduce.h"

namespace tablon::red {

Lineas::Lineas(std::size_t maxima) : maxima_(maxima) {}

std::size_t Lineas::Toma(char* destino, std::size_t n) {
  n = std::min(n, buffer_.Pendientes());
  if (n > 0) std::memcpy(destino, buffer_.Datos(), n);
  buffer_.Consume(n);
  buscado_ = 0;
  return n;
}

std::optional<std::string_view> Lineas::Siguiente() {
  const char* base = buffer_.Datos();
  const std::size_t pendientes = buffer_.Pendientes();
  const void* lf = pendientes > buscado_
                       ? std::memchr(base + buscado_, '\n', pendientes - buscado_)
                       : nullptr;
  if (!lf) {
    buscado_ = pendientes;
    if (pendientes > maxima_ + 1) {  // + 1: the CR of a line end still to come
      throw Error(errnum::kProtocolo, Formatea(Traduce("El servidor envió una línea de más de %s bytes sin terminarla"),
                                               {std::to_string(maxima_)}));
    }
    return std::nullopt;
  }
  const std::size_t largo = static_cast<std::size_t>(static_cast<const char*>(lf) - base);
  std::size_t util = largo;
  if (util > 0 && base[util - 1] == '\r') --util;
  if (util > maxima_) {
    throw Error(errnum::kProtocolo,
                Formatea(Traduce("El servidor envió una línea de más de %s bytes"), {std::to_string(maxima_)}));
  }
  buffer_.Consume(largo + 1);  // back to the front when it was the last: `base` stays valid
  buscado_ = 0;
  return std::string_view(base, util);
}

}  // namespace tablon::red
