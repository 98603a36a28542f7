#include "enlace_lento.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace tablon::bench {

namespace {

using Reloj = std::chrono::steady_clock;

constexpr std::size_t kBloqueLectura = 64 * 1024;  // one recv
constexpr std::size_t kLote = 256 * 1024;          // the most one write of due segments takes
constexpr std::chrono::seconds kPlazoConexion{5};  // connecting to the server (loopback)

int Milisegundos(std::chrono::milliseconds m) { return static_cast<int>(m.count()); }

sockaddr_in Loopback(std::uint16_t puerto) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(puerto);
  return a;
}

void SinRetardos(int fd) {
  const int uno = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &uno, sizeof uno);
}

// A non-blocking connection to 127.0.0.1:`puerto`, or -1.
int ConectaLoopback(std::uint16_t puerto, const std::atomic<bool>& parar) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const sockaddr_in a = Loopback(puerto);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) return fd;
  if (errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  const auto limite = Reloj::now() + kPlazoConexion;
  while (!parar && Reloj::now() < limite) {
    pollfd p{fd, POLLOUT, 0};
    const int n = poll(&p, 1, Milisegundos(EnlaceLento::kEspera));
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;
    int err = 0;
    socklen_t largo = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &largo) == 0 && err == 0) return fd;
    break;
  }
  close(fd);
  return -1;
}

struct Segmento {
  std::string datos;
  Reloj::time_point entrega;
  bool fin = false;  // end of stream: no data
};

// One direction of a connection: what the reader took from `origen` and the writer has not yet
// written to `destino`.
struct Sentido {
  int origen = -1, destino = -1;
  std::mutex m;
  std::condition_variable hay;    // a segment was queued
  std::condition_variable sitio;  // the queue shrank
  std::deque<Segmento> cola;
  std::size_t bytes = 0;
  Reloj::time_point libre;  // when the link ends sending what it was given
};

}  // namespace

struct EnlaceLento::Conexion {
  Conexion(int c, int s, const Ajustes& a, const std::atomic<bool>& p) : cliente(c), servidor(s), ajustes(a), parar(p) {
    subida.origen = bajada.destino = cliente;
    subida.destino = bajada.origen = servidor;
    // The handshake: the client may send one round trip after its connect (with the third
    // packet), the server learns of the connection when that packet arrives, half a round trip
    // later, and only then can send its greeting.
    const Reloj::time_point ahora = Reloj::now();
    const auto rtt = std::chrono::duration_cast<Reloj::duration>(ajustes.ida_y_vuelta);
    subida.libre = ahora + rtt;
    bajada.libre = ahora + rtt + rtt / 2;
  }
  ~Conexion() {
    Corta();
    for (auto& h : hilos) {
      if (h.joinable()) h.join();
    }
    close(cliente);
    close(servidor);
  }

  void Arranca() {
    hilos[0] = std::thread([this] { Lee(subida); });
    hilos[1] = std::thread([this] { Escribe(subida); });
    hilos[2] = std::thread([this] { Lee(bajada); });
    hilos[3] = std::thread([this] { Escribe(bajada); });
  }
  bool Terminada() const { return terminados.load() == 4; }

  void Corta() {
    if (cortada.exchange(true)) return;
    shutdown(cliente, SHUT_RDWR);
    shutdown(servidor, SHUT_RDWR);
    for (Sentido* s : {&subida, &bajada}) {
      std::lock_guard l(s->m);
      s->hay.notify_all();
      s->sitio.notify_all();
    }
  }

 private:
  bool Sigue() const { return !parar.load() && !cortada.load(); }

  void Lee(Sentido& s) {
    const auto ida = std::chrono::duration_cast<Reloj::duration>(ajustes.ida_y_vuelta) / 2;
    const double ns_por_byte = ajustes.bits_por_segundo > 0 ? 8e9 / ajustes.bits_por_segundo : 0;
    std::vector<char> buf(kBloqueLectura);
    while (Sigue()) {
      {
        std::unique_lock l(s.m);
        if (s.bytes >= kColaMaxima) {
          s.sitio.wait_for(l, kEspera);
          continue;
        }
      }
      pollfd p{s.origen, POLLIN, 0};
      const int r = poll(&p, 1, Milisegundos(kEspera));
      if (r < 0 && errno != EINTR) {
        Corta();
        break;
      }
      if (r <= 0) continue;
      // The server writes in small segments: acknowledge at once (Linux clears this flag).
      const int uno = 1;
      setsockopt(s.origen, IPPROTO_TCP, TCP_QUICKACK, &uno, sizeof uno);
      const ssize_t n = recv(s.origen, buf.data(), buf.size(), 0);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
      if (n < 0) {  // reset: the other side is cut too
        Corta();
        break;
      }
      const Reloj::time_point llegada = Reloj::now();
      std::lock_guard l(s.m);
      if (n == 0) {
        Segmento fin;
        fin.fin = true;
        fin.entrega = std::max(llegada, s.libre) + ida;
        s.cola.push_back(std::move(fin));
        s.hay.notify_one();
        break;
      }
      const std::size_t total = static_cast<std::size_t>(n);
      const std::size_t trozo = ns_por_byte > 0 ? kSegmento : total;
      for (std::size_t i = 0; i < total; i += trozo) {
        Segmento g;
        g.datos.assign(buf.data() + i, std::min(trozo, total - i));
        const Reloj::time_point sale = std::max(llegada, s.libre);
        s.libre = sale + std::chrono::nanoseconds(
                             static_cast<std::int64_t>(ns_por_byte * static_cast<double>(g.datos.size())));
        g.entrega = s.libre + ida;
        s.bytes += g.datos.size();
        s.cola.push_back(std::move(g));
      }
      s.hay.notify_one();
    }
    ++terminados;
  }

  void Escribe(Sentido& s) {
    std::string salida;
    while (Sigue()) {
      bool fin = false;
      {
        std::unique_lock l(s.m);
        const Reloj::time_point ahora = Reloj::now();
        if (s.cola.empty() || s.cola.front().entrega > ahora) {
          Reloj::time_point hasta = ahora + kEspera;
          if (!s.cola.empty()) hasta = std::min(hasta, s.cola.front().entrega);
          s.hay.wait_until(l, hasta);
          continue;
        }
        while (!s.cola.empty() && s.cola.front().entrega <= ahora && salida.size() < kLote) {
          Segmento& g = s.cola.front();
          if (g.fin) {
            fin = true;
            s.cola.pop_front();
            break;
          }
          salida += g.datos;
          s.bytes -= g.datos.size();
          s.cola.pop_front();
        }
      }
      s.sitio.notify_one();
      if (!EscribeTodo(s.destino, salida)) {
        Corta();
        break;
      }
      salida.clear();
      if (fin) {
        shutdown(s.destino, SHUT_WR);
        break;
      }
    }
    ++terminados;
  }

  // Writes all of `datos` to the non-blocking `fd`; false when the connection failed or the
  // proxy stops.
  bool EscribeTodo(int fd, std::string_view datos) {
    while (!datos.empty()) {
      if (!Sigue()) return false;
      const ssize_t n = send(fd, datos.data(), datos.size(), MSG_NOSIGNAL);
      if (n > 0) {
        datos.remove_prefix(static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, Milisegundos(kEspera)) < 0 && errno != EINTR) return false;
    }
    return true;
  }

  const int cliente, servidor;
  const Ajustes& ajustes;
  const std::atomic<bool>& parar;
  Sentido subida, bajada;  // client to server, server to client
  std::atomic<bool> cortada{false};
  std::atomic<int> terminados{0};
  std::thread hilos[4];
};

EnlaceLento::EnlaceLento(std::uint16_t puerto_destino, Ajustes ajustes)
    : destino_(puerto_destino), ajustes_(ajustes) {
  escucha_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  socklen_t largo = sizeof a;
  if (escucha_ < 0 || bind(escucha_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(escucha_, 16) != 0 || getsockname(escucha_, reinterpret_cast<sockaddr*>(&a), &largo) != 0) {
    const std::string e = std::strerror(errno);
    if (escucha_ >= 0) close(escucha_);
    throw std::runtime_error("enlace lento: no se puede escuchar en 127.0.0.1: " + e);
  }
  puerto_ = ntohs(a.sin_port);
  aceptador_ = std::thread([this] { Acepta(); });
}

EnlaceLento::~EnlaceLento() {
  parar_ = true;
  if (aceptador_.joinable()) aceptador_.join();
  Reaprovecha(true);
  close(escucha_);
}

std::string EnlaceLento::Descripcion() const {
  const double ms = static_cast<double>(ajustes_.ida_y_vuelta.count()) / 1000.0;
  char buf[96];
  if (ms <= 0 && ajustes_.bits_por_segundo <= 0) return "no delay, no rate limit";
  char tasa[32] = "no rate limit";
  if (ajustes_.bits_por_segundo > 0) std::snprintf(tasa, sizeof tasa, "%g Mbit/s", ajustes_.bits_por_segundo / 1e6);
  std::snprintf(buf, sizeof buf, "%g ms round trip, %s", ms, tasa);
  return buf;
}

void EnlaceLento::Acepta() {
  while (!parar_) {
    Reaprovecha(false);
    pollfd p{escucha_, POLLIN, 0};
    if (poll(&p, 1, Milisegundos(kEspera)) <= 0) continue;
    const int cliente = accept4(escucha_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (cliente < 0) continue;
    ++aceptadas_;
    const int servidor = ConectaLoopback(destino_, parar_);
    if (servidor < 0) {
      ++fallidas_;
      close(cliente);
      continue;
    }
    SinRetardos(cliente);
    SinRetardos(servidor);
    conexiones_.push_back(std::make_unique<Conexion>(cliente, servidor, ajustes_, parar_));
    conexiones_.back()->Arranca();
  }
}

void EnlaceLento::Reaprovecha(bool todas) {
  for (auto it = conexiones_.begin(); it != conexiones_.end();) {
    if (todas || (*it)->Terminada()) {
      it = conexiones_.erase(it);  // cuts, joins, closes
    } else {
      ++it;
    }
  }
}

}  // namespace tablon::bench
