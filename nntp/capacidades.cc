#include "nntp/capacidades.h"

#include <algorithm>
#include <cctype>

namespace tablon::nntp {

namespace {

std::string Mayusculas(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return r;
}

}  // namespace

Capacidades::Capacidades(const std::vector<std::string>& lineas) : conocidas_(true) {
  for (const std::string& l : lineas) {
    Linea linea;
    std::size_t i = 0;
    while (i < l.size()) {
      while (i < l.size() && (l[i] == ' ' || l[i] == '\t')) ++i;
      std::size_t j = i;
      while (j < l.size() && l[j] != ' ' && l[j] != '\t') ++j;
      if (j > i) {
        std::string palabra = Mayusculas(std::string_view(l).substr(i, j - i));
        if (linea.etiqueta.empty()) {
          linea.etiqueta = std::move(palabra);
        } else {
          linea.argumentos.push_back(std::move(palabra));
        }
      }
      i = j;
    }
    if (!linea.etiqueta.empty()) lineas_.push_back(std::move(linea));
  }
}

const Capacidades::Linea* Capacidades::Busca(std::string_view etiqueta) const {
  const std::string buscada = Mayusculas(etiqueta);
  for (const Linea& l : lineas_) {
    if (l.etiqueta == buscada) return &l;
  }
  return nullptr;
}

bool Capacidades::Tiene(std::string_view etiqueta) const { return Busca(etiqueta) != nullptr; }

bool Capacidades::TieneArgumento(std::string_view etiqueta, std::string_view argumento) const {
  const Linea* l = Busca(etiqueta);
  if (!l) return false;
  const std::string buscado = Mayusculas(argumento);
  return std::find(l->argumentos.begin(), l->argumentos.end(), buscado) != l->argumentos.end();
}

}  // namespace tablon::nntp
