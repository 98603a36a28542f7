#include "nntp_crudo.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace tablon::bench {

namespace {

[[noreturn]] void Falla(const std::string& que) {
  throw std::runtime_error(que + (errno ? std::string(": ") + std::strerror(errno) : ""));
}

}  // namespace

NntpCrudo::NntpCrudo(std::uint16_t puerto) {
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
    Linea();  // greeting
    const std::string modo = Orden("MODE READER");
    if (modo.rfind("20", 0) != 0) throw std::runtime_error("MODE READER: " + modo);
  } catch (...) {
    close(fd_);
    throw;
  }
}

NntpCrudo::~NntpCrudo() {
  const char quit[] = "QUIT\r\n";
  (void)send(fd_, quit, sizeof quit - 1, MSG_NOSIGNAL);
  close(fd_);
}

void NntpCrudo::Envia(const std::string& s) { EnviaVarias({s}); }

void NntpCrudo::EnviaVarias(const std::vector<std::string>& ordenes) {
  std::string datos;
  for (const auto& o : ordenes) datos += o + "\r\n";
  for (std::size_t hecho = 0; hecho < datos.size();) {
    const ssize_t n = send(fd_, datos.data() + hecho, datos.size() - hecho, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Falla("send");
    hecho += static_cast<std::size_t>(n);
  }
}

std::string NntpCrudo::Orden(const std::string& s) {
  Envia(s);
  return std::string(Linea());
}

std::string_view NntpCrudo::Linea() {
  for (;;) {
    if (const void* lf = std::memchr(buf_.data() + ini_, '\n', fin_ - ini_)) {
      const std::size_t largo =
          static_cast<std::size_t>(static_cast<const char*>(lf) - (buf_.data() + ini_));
      std::string_view l(buf_.data() + ini_, largo);
      ini_ += largo + 1;
      if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
      return l;
    }
    if (ini_ > 0) {
      std::memmove(buf_.data(), buf_.data() + ini_, fin_ - ini_);
      fin_ -= ini_;
      ini_ = 0;
    }
    if (fin_ == buf_.size()) buf_.resize(buf_.size() * 2);
    const int uno = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &uno, sizeof uno);
    const ssize_t n = recv(fd_, buf_.data() + fin_, buf_.size() - fin_, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) {
      errno = 0;
      Falla("recv: the server closed the connection");
    }
    if (n < 0) Falla("recv");
    fin_ += static_cast<std::size_t>(n);
  }
}

std::pair<std::size_t, std::size_t> NntpCrudo::Bloque() {
  std::size_t bytes = 0, lineas = 0;
  for (;;) {
    const std::string_view l = Linea();
    if (l == ".") return {bytes, lineas};
    bytes += l.size() + 2;
    ++lineas;
  }
}

std::string NntpCrudo::Articulo(const std::string& id) {
  const std::string a = Orden("ARTICLE " + id);
  if (a.rfind("220", 0) != 0) throw std::runtime_error("ARTICLE: " + a);
  std::string texto;
  for (;;) {
    const std::string_view l = Linea();
    if (l == ".") break;
    texto.append(l.substr(!l.empty() && l[0] == '.' ? 1 : 0));
    texto += '\n';
  }
  return texto;
}

}  // namespace tablon::bench
