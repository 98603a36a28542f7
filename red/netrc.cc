#include "red/netrc.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/error.h"
#include "core/fs.h"
#include "core/traduce.h"

namespace tablon::red {

namespace {

class Fichas {
 public:
  explicit Fichas(std::string_view t) : t_(t) {}

  // The next token where a keyword is expected: a token starting with "#" comments out the
  // rest of its line. Nullopt at the end.
  std::optional<std::string> Clave() { return Ficha(true); }
  // The next token where a value is expected: "#" is an ordinary character there.
  std::optional<std::string> Valor() { return Ficha(false); }

  // Skips a macro body: the rest of the "macdef NAME" line, then everything up to and including
  // the first empty line.
  void SaltaMacro() {
    while (i_ < t_.size() && t_[i_] != '\n') ++i_;
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

  std::optional<std::string> Ficha(bool comentarios) {
    for (;;) {
      while (i_ < t_.size() && EsBlanco(t_[i_])) ++i_;
      if (i_ >= t_.size()) return std::nullopt;
      if (!comentarios || t_[i_] != '#') break;
      while (i_ < t_.size() && t_[i_] != '\n') ++i_;
    }
    std::string r;
    if (t_[i_] == '"') {
      // A quoted value ends at its closing quote, or at the line end when that is missing.
      ++i_;
      while (i_ < t_.size() && t_[i_] != '"' && t_[i_] != '\n') {
        if (t_[i_] == '\\' && i_ + 1 < t_.size() && t_[i_ + 1] != '\n') {
          ++i_;
          switch (t_[i_]) {
            case 'n': r += '\n'; break;
            case 'r': r += '\r'; break;
            case 't': r += '\t'; break;
            default: r += t_[i_]; break;
          }
          ++i_;
          continue;
        }
        r += t_[i_++];
      }
      if (i_ < t_.size() && t_[i_] == '"') ++i_;
      return r;
    }
    while (i_ < t_.size() && !EsBlanco(t_[i_])) {
      if (t_[i_] == '\\' && i_ + 1 < t_.size()) ++i_;
      r += t_[i_++];
    }
    return r;
  }

  std::string_view t_;
  std::size_t i_ = 0;
};

bool MismoHost(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

struct Analisis {
  std::optional<CredencialesNetrc> credenciales;
  bool con_contrasena = false;  // some entry holds a non-empty password
};

// The whole file is read (not only up to the entry found) to know whether it holds a password.
Analisis Analiza(std::string_view texto, std::string_view maquina, std::optional<std::string_view> login) {
  Fichas fichas(texto);
  Analisis r;
  std::optional<CredencialesNetrc> hallada, por_defecto;
  CredencialesNetrc actual;
  enum class Entrada { kNinguna, kLaBuscada, kOtra, kPorDefecto } entrada = Entrada::kNinguna;

  auto cierra = [&] {
    if (login && !actual.usuario.empty() && actual.usuario != *login) return;
    if (entrada == Entrada::kLaBuscada && !hallada) hallada = actual;
    if (entrada == Entrada::kPorDefecto && !por_defecto) por_defecto = actual;
  };

  while (auto clave = fichas.Clave()) {
    if (*clave == "machine" || *clave == "default") {
      cierra();
      actual = {};
      if (*clave == "default") {
        entrada = Entrada::kPorDefecto;
      } else {
        const auto nombre = fichas.Valor();
        entrada = nombre && MismoHost(*nombre, maquina) ? Entrada::kLaBuscada : Entrada::kOtra;
      }
    } else if (*clave == "login" || *clave == "password" || *clave == "account") {
      auto valor = fichas.Valor();
      if (!valor) break;
      if (*clave == "login") actual.usuario = std::move(*valor);
      if (*clave == "password") {
        if (!valor->empty()) r.con_contrasena = true;
        actual.contrasena = std::move(*valor);
      }
    } else if (*clave == "macdef") {
      fichas.Valor();  // the macro's name
      fichas.SaltaMacro();
    }
    // Other keywords are skipped, as the classic readers do.
  }
  cierra();
  r.credenciales = hallada ? std::move(hallada) : std::move(por_defecto);
  return r;
}

}  // namespace

std::optional<CredencialesNetrc> BuscaEnNetrc(std::string_view texto, std::string_view maquina,
                                              std::optional<std::string_view> login) {
  return Analiza(texto, maquina, login).credenciales;
}

std::optional<CredencialesNetrc> LeeNetrc(const std::string& ruta, std::string_view maquina,
                                          std::optional<std::string_view> login) {
  if (ruta.empty()) return std::nullopt;
  Fs& fs = *FsDelPrograma();
  const int fd = fs.Open(ruta, O_RDONLY | O_NOCTTY | O_NONBLOCK, 0);
  if (fd < 0) return std::nullopt;
  struct Cierre {
    Fs& fs;
    int fd;
    ~Cierre() { fs.Close(fd); }
  } cierre{fs, fd};
  // The mode is taken from the file opened, not from its name, so the two cannot differ.
  struct stat st {};
  if (fs.Fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  std::string texto;
  char buf[8192];
  for (;;) {
    const ssize_t n = fs.Read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    texto.append(buf, static_cast<std::size_t>(n));
  }
  Analisis a = Analiza(texto, maquina, login);
  if (a.con_contrasena && (st.st_mode & 077) != 0) {
    char modo[8];
    std::snprintf(modo, sizeof modo, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    throw Error(errnum::kCredenciales,
                Formatea(Traduce("No se usa %1$s: guarda contraseñas y otros usuarios pueden leerlo o escribirlo "
                                 "(permisos %2$s); con \"chmod 600 %1$s\" solo lo lee su dueño"),
                         {ruta, modo}));
  }
  return std::move(a.credenciales);
}

std::string RutaNetrcPorDefecto() {
  const char* home = std::getenv("HOME");
  if (!home || !*home) return {};
  return std::string(home) + "/.netrc";
}

}  // namespace tablon::red
