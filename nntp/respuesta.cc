#include "nntp/respuesta.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "core/error.h"

namespace tablon::nntp {

Lineas::Lineas(std::size_t maxima) : maxima_(maxima) {}

char* Lineas::Reserva(std::size_t n) {
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

void Lineas::Agregados(std::size_t n) { fin_ += n; }

std::size_t Lineas::Toma(char* destino, std::size_t n) {
  n = std::min(n, fin_ - inicio_);
  if (n > 0) std::memcpy(destino, datos_.get() + inicio_, n);
  inicio_ += n;
  buscado_ = 0;
  return n;
}

void Lineas::Agrega(std::string_view datos) {
  if (datos.empty()) return;
  std::memcpy(Reserva(datos.size()), datos.data(), datos.size());
  Agregados(datos.size());
}

std::optional<std::string_view> Lineas::Siguiente() {
  const char* base = datos_.get() + inicio_;
  const std::size_t pendientes = fin_ - inicio_;
  const void* lf = pendientes > buscado_
                       ? std::memchr(base + buscado_, '\n', pendientes - buscado_)
                       : nullptr;
  if (!lf) {
    buscado_ = pendientes;
    if (pendientes > maxima_ + 1) {  // + 1: the CR of a line end still to come
      throw Error(errnum::kProtocolo, "El servidor envió una línea de más de " +
                                          std::to_string(maxima_) + " bytes sin terminarla");
    }
    return std::nullopt;
  }
  const std::size_t largo = static_cast<std::size_t>(static_cast<const char*>(lf) - base);
  std::size_t util = largo;
  if (util > 0 && base[util - 1] == '\r') --util;
  if (util > maxima_) {
    throw Error(errnum::kProtocolo,
                "El servidor envió una línea de más de " + std::to_string(maxima_) + " bytes");
  }
  inicio_ += largo + 1;
  buscado_ = 0;
  if (inicio_ == fin_) inicio_ = fin_ = 0;  // the next read starts at the front again
  return std::string_view(base, util);
}

std::optional<Estado> AnalizaEstado(std::string_view linea) {
  if (linea.size() < 3) return std::nullopt;
  if (linea[0] < '1' || linea[0] > '5') return std::nullopt;
  for (int i = 0; i < 3; ++i) {
    if (linea[i] < '0' || linea[i] > '9') return std::nullopt;
  }
  if (linea.size() > 3 && linea[3] != ' ') return std::nullopt;
  Estado e;
  e.codigo = (linea[0] - '0') * 100 + (linea[1] - '0') * 10 + (linea[2] - '0');
  e.texto = linea.size() > 4 ? linea.substr(4) : std::string_view();
  return e;
}

namespace {

// The next blank-separated word of `texto`, consumed from it.
std::string_view Palabra(std::string_view& texto) {
  std::size_t i = 0;
  while (i < texto.size() && (texto[i] == ' ' || texto[i] == '\t')) ++i;
  std::size_t j = i;
  while (j < texto.size() && texto[j] != ' ' && texto[j] != '\t') ++j;
  std::string_view p = texto.substr(i, j - i);
  texto.remove_prefix(j);
  return p;
}

std::optional<std::int64_t> Numero(std::string_view p) {
  std::int64_t v = 0;
  if (p.empty() || p.front() == '-' || p.front() == '+') return std::nullopt;
  auto [fin, ec] = std::from_chars(p.data(), p.data() + p.size(), v);
  if (ec != std::errc() || fin != p.data() + p.size()) return std::nullopt;
  return v;
}

}  // namespace

std::optional<Grupo> AnalizaGrupo(std::string_view texto) {
  Grupo g;
  const auto cantidad = Numero(Palabra(texto));
  const auto primero = Numero(Palabra(texto));
  const auto ultimo = Numero(Palabra(texto));
  if (!cantidad || !primero || !ultimo) return std::nullopt;
  g.cantidad = *cantidad;
  g.primero = *primero;
  g.ultimo = *ultimo;
  g.nombre = Palabra(texto);
  return g;
}

std::optional<std::string_view> Bloque::Linea(std::string_view linea) {
  if (terminado_) {
    throw Error(errnum::kArgumentoNoValido, "Se leyó más allá del final de " + que_);
  }
  auto excedido = [this](const std::string& cuanto) {
    excedido_ = true;
    return Error(errnum::kProtocolo, "El servidor envió en " + que_ + " más de " + cuanto +
                                         ": la respuesta se interrumpe y se cierra la conexión");
  };
  if (excedido_) throw excedido(motivo_);
  if (EsFinDeBloque(linea)) {
    terminado_ = true;
    return std::nullopt;
  }
  if (lineas_ >= limite_.lineas) {
    motivo_ = std::to_string(limite_.lineas) + " líneas";
    throw excedido(motivo_);
  }
  const std::uint64_t largo = static_cast<std::uint64_t>(linea.size()) + 2;
  if (largo > limite_.bytes - bytes_) {
    motivo_ = std::to_string(limite_.bytes) + " bytes";
    throw excedido(motivo_);
  }
  ++lineas_;
  bytes_ += largo;
  return SinRelleno(linea);
}

std::string LineaLegible(std::string_view linea) {
  constexpr std::size_t kMaximo = 200;
  std::string r;
  const std::size_t n = std::min(linea.size(), kMaximo);
  r.reserve(n + 16);
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(linea[i]);
    if (c < 0x20 || c == 0x7f) {
      r += "\\x";
      r += kHex[c >> 4];
      r += kHex[c & 15];
    } else {
      r += static_cast<char>(c);
    }
  }
  if (linea.size() > kMaximo) r += "… (" + std::to_string(linea.size()) + " bytes)";
  return r;
}

}  // namespace tablon::nntp
