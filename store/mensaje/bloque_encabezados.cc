#include "store/mensaje/bloque_encabezados.h"

namespace tablon::store::mensaje {

namespace {
bool EsBlanco(char c) { return c == ' ' || c == '\t'; }
}  // namespace

void LectorEncabezados::Linea(size_t i, size_t& fin, size_t& sig) const noexcept {
  size_t nl = bloque_.find('\n', i);
  if (nl == std::string_view::npos) nl = bloque_.size();
  sig = nl + 1;
  fin = nl;
  if (fin > i && bloque_[fin - 1] == '\r') --fin;
}

bool LectorEncabezados::Siguiente(CampoCrudo& campo) noexcept {
  if (pos_ >= bloque_.size()) return false;
  size_t fin, sig;
  Linea(pos_, fin, sig);
  if (fin == pos_) {  // the empty line
    fin_ = sig <= bloque_.size() ? sig : std::string_view::npos;
    pos_ = bloque_.size();
    return false;
  }
  const size_t inicio_linea = pos_;
  const std::string_view linea = bloque_.substr(pos_, fin - pos_);
  const size_t dos_puntos = EsBlanco(linea.front()) ? std::string_view::npos : linea.find(':');
  const bool es_campo = dos_puntos != std::string_view::npos && dos_puntos != 0 &&
                        linea.substr(0, dos_puntos).find_first_of(" \t") == std::string_view::npos;
  // The line's continuation lines: every following line that starts with a blank.
  size_t final = fin;
  bool plegado = false;
  pos_ = sig;
  while (pos_ < bloque_.size()) {
    size_t f2, s2;
    Linea(pos_, f2, s2);
    if (f2 == pos_ || !EsBlanco(bloque_[pos_])) break;
    final = f2;
    plegado = true;
    pos_ = s2;
  }
  campo.es_campo = es_campo;
  campo.plegado = plegado;
  if (!es_campo) {
    campo.nombre = std::string_view();
    campo.crudo = bloque_.substr(inicio_linea, final - inicio_linea);
    return true;
  }
  size_t inicio = inicio_linea + dos_puntos + 1;
  while (inicio < fin && EsBlanco(bloque_[inicio])) ++inicio;
  campo.nombre = linea.substr(0, dos_puntos);
  campo.crudo = final > inicio ? bloque_.substr(inicio, final - inicio) : std::string_view();
  return true;
}

std::string_view Desplegado(const CampoCrudo& campo, std::string& buf) {
  if (!campo.plegado) return campo.crudo;
  buf.clear();
  const std::string_view v = campo.crudo;
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '\n') continue;
    if (v[i] == '\r' && i + 1 < v.size() && v[i + 1] == '\n') continue;
    buf += v[i];
  }
  return buf;
}

std::vector<CampoCabecera> LeeCampos(std::string_view bloque) {
  std::vector<CampoCabecera> r;
  // One field per line at most: sized once, never moved while it fills.
  size_t lineas = 1;
  for (char c : bloque) lineas += c == '\n';
  r.reserve(lineas);
  LectorEncabezados lector(bloque);
  CampoCrudo campo;
  std::string buf;
  while (lector.Siguiente(campo)) {
    if (campo.es_campo) r.push_back({std::string(campo.nombre), std::string(Desplegado(campo, buf))});
  }
  return r;
}

}  // namespace tablon::store::mensaje
