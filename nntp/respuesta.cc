#include "nntp/respuesta.h"

#include <charconv>

#include "core/error.h"
#include "core/traduce.h"

namespace tablon::nntp {

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
    throw Error(errnum::kArgumentoNoValido, Formatea(Traduce("Se leyó más allá del final de %s"), {que_}));
  }
  auto excedido = [this](const std::string& cuanto) {
    excedido_ = true;
    return Error(errnum::kProtocolo,
                 Formatea(Traduce("El servidor envió en %s más de %s: la respuesta se interrumpe y se cierra la "
                                  "conexión"),
                          {que_, cuanto}));
  };
  if (excedido_) throw excedido(motivo_);
  if (EsFinDeBloque(linea)) {
    terminado_ = true;
    return std::nullopt;
  }
  if (lineas_ >= limite_.lineas) {
    motivo_ = Formatea(Traduce("%s líneas"), {std::to_string(limite_.lineas)});
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

}  // namespace tablon::nntp
