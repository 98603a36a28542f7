#include "nntp/netrc.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <strings.h>

namespace tablon::nntp {

namespace {

class Fichas {
 public:
  explicit Fichas(std::string_view t) : t_(t) {}

  // The next token, or nullopt at the end.
  std::optional<std::string> Siguiente() {
    for (;;) {
      while (i_ < t_.size() && EsBlanco(t_[i_])) ++i_;
      if (i_ >= t_.size()) return std::nullopt;
      if (t_[i_] != '#') break;
      while (i_ < t_.size() && t_[i_] != '\n') ++i_;
    }
    std::string r;
    if (t_[i_] == '"') {
      ++i_;
      while (i_ < t_.size() && t_[i_] != '"') {
        if (t_[i_] == '\\' && i_ + 1 < t_.size()) ++i_;
        r += t_[i_++];
      }
      if (i_ < t_.size()) ++i_;  // the closing quote
      return r;
    }
    while (i_ < t_.size() && !EsBlanco(t_[i_])) {
      if (t_[i_] == '\\' && i_ + 1 < t_.size()) ++i_;
      r += t_[i_++];
    }
    return r;
  }

  // Skips a macro body: everything up to and including the first empty line.
  void SaltaMacro() {
    while (i_ < t_.size() && t_[i_] != '\n') ++i_;  // rest of the "macdef NAME" line
    while (i_ < t_.size()) {
      const std::size_t fin = t_.find('\n', i_ + 1);
      if (fin == std::string_view::npos) {
        i_ = t_.size();
        return;
      }
      std::string_view linea = t_.substr(i_ + 1, fin - i_ - 1);
      if (!linea.empty() && linea.back() == '\r') linea.remove_suffix(1);
      i_ = fin;
      if (linea.empty()) return;
    }
  }

 private:
  static bool EsBlanco(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

  std::string_view t_;
  std::size_t i_ = 0;
};

bool MismoHost(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

std::optional<CredencialesNetrc> BuscaEnNetrc(std::string_view texto, std::string_view maquina) {
  Fichas fichas(texto);
  std::optional<CredencialesNetrc> por_defecto;
  CredencialesNetrc actual;
  enum class Entrada { kNinguna, kLaBuscada, kOtra, kPorDefecto } entrada = Entrada::kNinguna;

  auto cierra = [&]() -> bool {  // true when the entry just ended is the one looked for
    if (entrada == Entrada::kLaBuscada) return true;
    if (entrada == Entrada::kPorDefecto && !por_defecto) por_defecto = actual;
    return false;
  };

  while (auto ficha = fichas.Siguiente()) {
    if (*ficha == "machine" || *ficha == "default") {
      if (cierra()) return actual;
      actual = {};
      if (*ficha == "default") {
        entrada = Entrada::kPorDefecto;
      } else {
        const auto nombre = fichas.Siguiente();
        entrada = nombre && MismoHost(*nombre, maquina) ? Entrada::kLaBuscada : Entrada::kOtra;
      }
    } else if (*ficha == "login" || *ficha == "password" || *ficha == "account") {
      auto valor = fichas.Siguiente();
      if (!valor) break;
      if (*ficha == "login") actual.usuario = std::move(*valor);
      if (*ficha == "password") actual.contrasena = std::move(*valor);
    } else if (*ficha == "macdef") {
      fichas.SaltaMacro();
    }
    // Unknown tokens are skipped, as the classic readers do.
  }
  if (cierra()) return actual;
  return por_defecto;
}

std::optional<CredencialesNetrc> LeeNetrc(const std::string& ruta, std::string_view maquina) {
  if (ruta.empty()) return std::nullopt;
  std::ifstream in(ruta, std::ios::binary);
  if (!in) return std::nullopt;
  const std::string texto((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return BuscaEnNetrc(texto, maquina);
}

std::string RutaNetrcPorDefecto() {
  const char* home = std::getenv("HOME");
  if (!home || !*home) return {};
  return std::string(home) + "/.netrc";
}

}  // namespace tablon::nntp
