#include "support/imap.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

namespace tablon::test {

namespace {

// A parsed piece of a response: an atom, number, quoted string or literal (texto), or a
// parenthesised list (hijos); `crudo` is the text it was parsed from.
struct Nodo {
  bool lista = false;
  std::string texto;
  std::vector<Nodo> hijos;
  std::string crudo;
};

class Lector {
 public:
  explicit Lector(std::string_view s) : s_(s) {}

  bool FinDeLinea() const { return i_ >= s_.size() || s_[i_] == '\r' || s_[i_] == '\n'; }
  void SaltaLinea() {
    const std::size_t lf = s_.find('\n', i_);
    i_ = lf == std::string_view::npos ? s_.size() : lf + 1;
  }
  bool Fin() const { return i_ >= s_.size(); }

  // The pieces up to the end of the current line; a literal's bytes may span line ends.
  std::vector<Nodo> LeeLinea() {
    std::vector<Nodo> r;
    for (SaltaBlancos(); !FinDeLinea(); SaltaBlancos()) r.push_back(Lee());
    SaltaLinea();
    return r;
  }

 private:
  void SaltaBlancos() {
    while (i_ < s_.size() && s_[i_] == ' ') ++i_;
  }

  Nodo Lee() {
    const std::size_t inicio = i_;
    Nodo n;
    const char c = s_[i_];
    if (c == '(') {
      n.lista = true;
      ++i_;
      for (SaltaBlancos(); i_ < s_.size() && s_[i_] != ')'; SaltaBlancos()) {
        n.hijos.push_back(Lee());
      }
      if (i_ >= s_.size()) throw std::runtime_error("IMAP: lista sin cerrar");
      ++i_;
    } else if (c == '"') {
      for (++i_; i_ < s_.size() && s_[i_] != '"'; ++i_) {
        if (s_[i_] == '\\' && i_ + 1 < s_.size()) ++i_;
        n.texto += s_[i_];
      }
      if (i_ >= s_.size()) throw std::runtime_error("IMAP: cadena sin cerrar");
      ++i_;
    } else if (c == '{') {
      const std::size_t cierre = s_.find("}\r\n", i_);
      if (cierre == std::string_view::npos) throw std::runtime_error("IMAP: literal mal formado");
      const std::string cifras(s_.substr(i_ + 1, cierre - i_ - 1));
      const std::size_t largo = std::strtoull(cifras.c_str(), nullptr, 10);
      i_ = cierre + 3;
      if (s_.size() - i_ < largo) throw std::runtime_error("IMAP: literal cortado");
      n.texto = std::string(s_.substr(i_, largo));
      i_ += largo;
    } else {
      // An atom; a bracketed section ("BODY[HEADER.FIELDS (A B)]") may hold blanks and parentheses.
      int corchetes = 0;
      while (i_ < s_.size()) {
        const char d = s_[i_];
        if (d == '[') ++corchetes;
        if (d == ']' && corchetes > 0) --corchetes;
        if (corchetes == 0 && (d == ' ' || d == '(' || d == ')' || d == '\r' || d == '\n')) break;
        ++i_;
      }
      if (i_ == inicio) ++i_;  // a stray ')' in a line of human text
      n.texto = std::string(s_.substr(inicio, i_ - inicio));
    }
    n.crudo = std::string(s_.substr(inicio, i_ - inicio));
    return n;
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

// Calls `f(numero, atributos)` for every "* N FETCH (...)" line of a response.
template <typename F>
void CadaFetch(const std::string& respuesta, F f) {
  Lector l(respuesta);
  while (!l.Fin()) {
    const std::vector<Nodo> p = l.LeeLinea();
    if (p.size() == 4 && p[0].texto == "*" && p[2].texto == "FETCH" && p[3].lista) {
      f(static_cast<std::uint32_t>(std::strtoul(p[1].texto.c_str(), nullptr, 10)), p[3].hijos);
    }
  }
}

// The value after `nombre` in a FETCH attribute list, or nullptr.
const Nodo* Atributo(const std::vector<Nodo>& a, std::string_view nombre) {
  for (std::size_t i = 0; i + 1 < a.size(); i += 2) {
    if (!a[i].lista && a[i].texto == nombre) return &a[i + 1];
  }
  return nullptr;
}

std::string Entrecomillado(const std::string& s) {
  std::string r = "\"";
  for (const char c : s) {
    if (c == '"' || c == '\\') r += '\\';
    r += c;
  }
  return r + '"';
}

}  // namespace

ClienteImap::ClienteImap(std::uint16_t port, int espera_s) : espera_s_(espera_s) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("IMAP: socket falló");
  timeval tv{espera_s_, 0};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd_);
    throw std::runtime_error("IMAP: no se pudo conectar al puerto " + std::to_string(port));
  }
  saludo_ = Linea();
  if (saludo_.rfind("* OK", 0) != 0) {
    close(fd_);
    throw std::runtime_error("IMAP: saludo inesperado: " + saludo_);
  }
}

ClienteImap::~ClienteImap() {
  try {
    Envia("z LOGOUT\r\n");
  } catch (...) {
  }
  close(fd_);
}

void ClienteImap::Envia(const std::string& datos) {
  std::size_t hecho = 0;
  while (hecho < datos.size()) {
    const ssize_t n = send(fd_, datos.data() + hecho, datos.size() - hecho, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("IMAP: no se pudo enviar");
    hecho += static_cast<std::size_t>(n);
  }
}

std::string ClienteImap::Linea() {
  std::string linea;
  std::size_t literal = 0;   // bytes of a literal still to be taken as they are
  std::size_t segmento = 0;  // where the text after the last literal starts in `linea`
  for (;;) {
    if (literal > 0 && !buf_.empty()) {
      const std::size_t n = std::min(literal, buf_.size());
      linea.append(buf_, 0, n);
      buf_.erase(0, n);
      literal -= n;
      segmento = linea.size();
      continue;
    }
    const std::size_t fin = literal > 0 ? std::string::npos : buf_.find("\r\n");
    if (fin != std::string::npos) {
      linea.append(buf_, 0, fin + 2);
      buf_.erase(0, fin + 2);
      // "{n}\r\n" ends the line: n bytes follow, then the rest of the same response line.
      const std::size_t cierre = linea.size() - 3;
      const std::size_t abre = linea.rfind('{');
      if (linea.size() >= segmento + 5 && linea[cierre] == '}' && abre != std::string::npos &&
          abre >= segmento && abre + 1 < cierre &&
          linea.find_first_not_of("0123456789", abre + 1) == cierre) {
        literal = std::strtoull(linea.c_str() + abre + 1, nullptr, 10);
        segmento = linea.size();
        continue;
      }
      return linea;
    }
    char tmp[65536];
    const ssize_t n = recv(fd_, tmp, sizeof tmp, 0);
    if (n == 0) {
      throw std::runtime_error("IMAP: el servidor cerró la conexión tras: " + linea + buf_);
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("IMAP: sin respuesta en " + std::to_string(espera_s_) +
                               " s; recibido: " + linea + buf_);
    }
    buf_.append(tmp, static_cast<std::size_t>(n));
  }
}

std::string ClienteImap::Comando(const std::string& texto) {
  const std::string etiqueta = "a" + std::to_string(++etiqueta_);
  Envia(etiqueta + " " + texto + "\r\n");
  std::string r;
  for (;;) {
    const std::string l = Linea();
    r += l;
    if (l.rfind(etiqueta + " ", 0) == 0) return r;
  }
}

std::string ClienteImap::ComandoOk(const std::string& texto) {
  const std::string r = Comando(texto);
  // The tagged line is the last one: "aN OK ...".
  const std::size_t inicio = r.rfind("\r\n", r.size() - 3);
  const std::string ultima = r.substr(inicio == std::string::npos ? 0 : inicio + 2);
  const std::size_t blanco = ultima.find(' ');
  if (ultima.compare(blanco + 1, 3, "OK ") != 0) {
    throw std::runtime_error("IMAP: " + texto + " no respondió OK:\n" + r);
  }
  return r;
}

void ClienteImap::Login(const std::string& usuario, const std::string& clave) {
  ComandoOk("LOGIN " + Entrecomillado(usuario) + " " + Entrecomillado(clave));
}

std::uint32_t ClienteImap::Select(const std::string& carpeta) {
  const std::string r = ComandoOk("SELECT " + Entrecomillado(carpeta));
  Lector l(r);
  while (!l.Fin()) {
    const std::vector<Nodo> p = l.LeeLinea();
    if (p.size() == 3 && p[0].texto == "*" && p[2].texto == "EXISTS") {
      return static_cast<std::uint32_t>(std::strtoul(p[1].texto.c_str(), nullptr, 10));
    }
  }
  throw std::runtime_error("IMAP: SELECT sin EXISTS:\n" + r);
}

std::string ClienteImap::Noop() { return ComandoOk("NOOP"); }

std::vector<MensajeImap> ClienteImap::Lista() {
  Noop();
  const std::string r = ComandoOk("UID FETCH 1:* (UID RFC822.SIZE BODYSTRUCTURE FLAGS)");
  std::vector<MensajeImap> lista;
  CadaFetch(r, [&](std::uint32_t numero, const std::vector<Nodo>& a) {
    const Nodo* uid = Atributo(a, "UID");
    const Nodo* tamano = Atributo(a, "RFC822.SIZE");
    const Nodo* banderas = Atributo(a, "FLAGS");
    const Nodo* estructura = Atributo(a, "BODYSTRUCTURE");
    if (!uid || !tamano || !banderas || !estructura) return;  // an unsolicited flags update
    MensajeImap m;
    m.secuencia = numero;
    m.uid = static_cast<std::uint32_t>(std::strtoul(uid->texto.c_str(), nullptr, 10));
    m.tamano = std::strtoull(tamano->texto.c_str(), nullptr, 10);
    for (const Nodo& b : banderas->hijos) m.banderas.push_back(b.texto);
    m.estructura = estructura->crudo;
    lista.push_back(std::move(m));
  });
  return lista;
}

std::string ClienteImap::Cuerpo(std::uint32_t uid) {
  const std::string r = ComandoOk("UID FETCH " + std::to_string(uid) + " (BODY.PEEK[])");
  std::string cuerpo;
  bool hallado = false;
  CadaFetch(r, [&](std::uint32_t, const std::vector<Nodo>& a) {
    const Nodo* u = Atributo(a, "UID");
    const Nodo* b = Atributo(a, "BODY[]");
    if (u && b && std::strtoul(u->texto.c_str(), nullptr, 10) == uid) {
      cuerpo = b->texto;
      hallado = true;
    }
  });
  if (!hallado) {
    throw std::runtime_error("IMAP: no hay mensaje con UID " + std::to_string(uid) + ":\n" + r);
  }
  return cuerpo;
}

bool MensajeImap::Tiene(std::string_view bandera) const {
  for (const auto& b : banderas) {
    if (b == bandera) return true;
  }
  return false;
}

std::string ConCrlf(std::string_view s) {
  std::string r;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r')) r += '\r';
    r += s[i];
  }
  return r;
}

}  // namespace tablon::test
