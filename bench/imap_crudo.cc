#include "imap_crudo.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace tablon::bench {

namespace {

[[noreturn]] void Falla(const std::string& que) {
  throw std::runtime_error(que + (errno ? std::string(": ") + std::strerror(errno) : ""));
}

// The size of the literal announced at the end of `l` ("...{123}"), or -1.
long Literal(std::string_view l) {
  if (l.size() < 3 || l.back() != '}') return -1;
  const size_t abre = l.rfind('{');
  if (abre == std::string_view::npos || abre + 2 > l.size() - 1) return -1;
  long n = 0;
  for (size_t i = abre + 1; i + 1 < l.size(); ++i) {
    if (l[i] < '0' || l[i] > '9') return -1;
    n = n * 10 + (l[i] - '0');
  }
  return n;
}

bool EsOk(const std::string& tagged, const std::string& etiqueta) {
  return tagged.compare(etiqueta.size() + 1, 2, "OK") == 0;
}

}  // namespace

ImapCrudo::ImapCrudo(std::uint16_t puerto, const std::string& usuario, const std::string& clave) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(puerto);
  if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    if (fd_ >= 0) close(fd_);
    Falla("connect 127.0.0.1:" + std::to_string(puerto));
  }
  const int uno = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &uno, sizeof uno);
  buf_.resize(1 << 16);
  try {
    const std::string saludo = Respuesta(nullptr);
    if (saludo.rfind("* OK", 0) != 0) throw std::runtime_error("IMAP: saludo " + saludo);
    Orden("LOGIN \"" + usuario + "\" \"" + clave + "\"");
  } catch (...) {
    close(fd_);
    throw;
  }
}

ImapCrudo::~ImapCrudo() {
  const std::string fin = Etiqueta() + " LOGOUT\r\n";
  (void)send(fd_, fin.data(), fin.size(), MSG_NOSIGNAL);
  close(fd_);
}

std::string ImapCrudo::Etiqueta() { return "c" + std::to_string(++contador_); }

void ImapCrudo::EnviaBytes(std::string_view datos) {
  for (std::size_t hecho = 0; hecho < datos.size();) {
    const ssize_t n = send(fd_, datos.data() + hecho, datos.size() - hecho, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Falla("send");
    hecho += static_cast<std::size_t>(n);
  }
}

std::string_view ImapCrudo::LineaCruda() {
  for (;;) {
    if (const void* lf = std::memchr(buf_.data() + ini_, '\n', fin_ - ini_)) {
      const std::size_t largo = static_cast<std::size_t>(static_cast<const char*>(lf) - (buf_.data() + ini_));
      std::string_view l(buf_.data() + ini_, largo);
      ini_ += largo + 1;
      if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
      return l;
    }
    Lee(0, nullptr);
  }
}

// With n == 0: reads once more into the buffer. Otherwise: takes n bytes (appended to `destino`
// when given), reading as needed.
void ImapCrudo::Lee(std::size_t n, std::string* destino) {
  for (bool primera = true;; primera = false) {
    if (n > 0) {
      const std::size_t hay = std::min(n, fin_ - ini_);
      if (destino) destino->append(buf_.data() + ini_, hay);
      ini_ += hay;
      n -= hay;
      if (n == 0) return;
    } else if (!primera) {
      return;
    }
    if (ini_ > 0) {
      std::memmove(buf_.data(), buf_.data() + ini_, fin_ - ini_);
      fin_ -= ini_;
      ini_ = 0;
    }
    if (fin_ == buf_.size()) buf_.resize(buf_.size() * 2);
    const int uno = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &uno, sizeof uno);
    const ssize_t k = recv(fd_, buf_.data() + fin_, buf_.size() - fin_, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k == 0) {
      errno = 0;
      Falla("recv: the IMAP server closed the connection");
    }
    if (k < 0) Falla("recv");
    fin_ += static_cast<std::size_t>(k);
  }
}

std::string ImapCrudo::Respuesta(std::vector<std::string>* literales) {
  std::string r(LineaCruda());
  for (long n; (n = Literal(r)) >= 0;) {
    std::string* destino = nullptr;
    if (literales) destino = &literales->emplace_back();
    Lee(static_cast<std::size_t>(n), destino);
    r += LineaCruda();
  }
  return r;
}

std::string ImapCrudo::HastaEtiqueta(const std::string& etiqueta, const Oyente& oyente) {
  std::vector<std::string> literales;
  for (;;) {
    literales.clear();
    std::string r = Respuesta(oyente ? &literales : nullptr);
    if (r.size() > etiqueta.size() && r.compare(0, etiqueta.size(), etiqueta) == 0 && r[etiqueta.size()] == ' ') {
      return r;
    }
    if (r.rfind("* BYE", 0) == 0) throw std::runtime_error("IMAP: " + r);
    if (oyente && r.rfind("* ", 0) == 0) oyente(r, literales);
  }
}

std::string ImapCrudo::Orden(const std::string& texto, const Oyente& oyente) {
  const std::string e = Etiqueta();
  EnviaBytes(e + " " + texto + "\r\n");
  const std::string fin = HastaEtiqueta(e, oyente);
  if (!EsOk(fin, e)) throw std::runtime_error("IMAP " + texto.substr(0, 40) + ": " + fin);
  return fin;
}

std::uint32_t ImapCrudo::Selecciona(const std::string& buzon) {
  std::uint32_t existe = 0;
  Orden("SELECT \"" + buzon + "\"", [&](std::string_view l, const std::vector<std::string>&) {
    if (l.size() > 9 && l.substr(l.size() - 7) == " EXISTS") existe = static_cast<std::uint32_t>(std::atol(l.data() + 2));
  });
  return existe;
}

std::vector<std::uint32_t> ImapCrudo::Uids() {
  std::vector<std::uint32_t> r;
  Orden("UID SEARCH ALL", [&](std::string_view l, const std::vector<std::string>&) {
    if (l.rfind("* SEARCH", 0) != 0) return;
    const std::string s(l.substr(8));
    for (const char* p = s.c_str(); *p;) {
      char* fin = nullptr;
      const unsigned long u = std::strtoul(p, &fin, 10);
      if (fin == p) break;
      r.push_back(static_cast<std::uint32_t>(u));
      p = fin;
    }
  });
  std::sort(r.begin(), r.end());
  return r;
}

void ImapCrudo::Appends(const std::string& buzon, const std::string& banderas, const std::vector<std::string>& mensajes,
                        std::size_t ventana) {
  const std::string cabeza = " APPEND \"" + buzon + "\" " + banderas + " {";
  std::vector<std::string> etiquetas;
  etiquetas.reserve(mensajes.size());
  auto comando = [&](std::string& datos, std::size_t i) {
    etiquetas.push_back(Etiqueta());
    datos += etiquetas.back() + cabeza + std::to_string(mensajes[i].size()) + "+}\r\n";
    datos += mensajes[i];
    datos += "\r\n";
  };
  std::size_t enviadas = 0;
  {
    std::string datos;
    for (; enviadas < mensajes.size() && enviadas < ventana; ++enviadas) comando(datos, enviadas);
    EnviaBytes(datos);
  }
  for (std::size_t i = 0; i < mensajes.size(); ++i) {
    const std::string fin = HastaEtiqueta(etiquetas[i], {});
    if (!EsOk(fin, etiquetas[i])) throw std::runtime_error("IMAP APPEND: " + fin);
    if (enviadas < mensajes.size()) {
      std::string datos;
      comando(datos, enviadas++);
      EnviaBytes(datos);
    }
  }
}

void ImapCrudo::MultiAppend(const std::string& buzon, const std::string& banderas,
                            const std::vector<std::string>& mensajes, std::size_t lote) {
  for (std::size_t i = 0; i < mensajes.size(); i += lote) {
    const std::string e = Etiqueta();
    std::string datos = e + " APPEND \"" + buzon + "\"";
    for (std::size_t k = i; k < mensajes.size() && k < i + lote; ++k) {
      datos += " " + banderas + " {" + std::to_string(mensajes[k].size()) + "+}\r\n";
      datos += mensajes[k];
    }
    datos += "\r\n";
    EnviaBytes(datos);
    const std::string fin = HastaEtiqueta(e, {});
    if (!EsOk(fin, e)) throw std::runtime_error("IMAP MULTIAPPEND: " + fin);
  }
}

}  // namespace tablon::bench
