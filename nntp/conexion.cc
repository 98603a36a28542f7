#include "nntp/conexion.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "core/error.h"
#include "nntp/direccion.h"

namespace tablon::nntp {

namespace {

using Reloj = std::chrono::steady_clock;

// Bytes asked for per read: an overview arrives in one or a few reads, not one per line.
constexpr std::size_t kBloqueLectura = 256 * 1024;

// The receive buffer asked for each connection: 4 MiB when net.core.rmem_max allows it, else 0
// (leave it to the kernel).
int BufferDeRecepcion() {
  static const int tam = [] {
    constexpr long kQuerido = 4L << 20;
    long maximo = 0;
    if (std::FILE* f = std::fopen("/proc/sys/net/core/rmem_max", "r")) {
      if (std::fscanf(f, "%ld", &maximo) != 1) maximo = 0;
      std::fclose(f);
    }
    return maximo >= kQuerido ? static_cast<int>(kQuerido) : 0;
  }();
  return tam;
}

int Milisegundos(std::chrono::milliseconds t) {
  return static_cast<int>(std::clamp<std::int64_t>(t.count(), 0, 24LL * 3600 * 1000));
}

// Blocks SIGPIPE in this thread while OpenSSL writes to the socket (it cannot pass
// MSG_NOSIGNAL), and swallows a SIGPIPE raised meanwhile.
class SinSigpipe {
 public:
  SinSigpipe() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pendientes;
    sigpending(&pendientes);
    ya_pendiente_ = sigismember(&pendientes, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &anterior_);
  }
  ~SinSigpipe() {
    if (!ya_pendiente_) {
      sigset_t pendientes;
      sigpending(&pendientes);
      if (sigismember(&pendientes, SIGPIPE) == 1) {
        const timespec cero{0, 0};
        sigtimedwait(&pipe_, nullptr, &cero);
      }
    }
    pthread_sigmask(SIG_SETMASK, &anterior_, nullptr);
  }
  SinSigpipe(const SinSigpipe&) = delete;
  SinSigpipe& operator=(const SinSigpipe&) = delete;

 private:
  sigset_t pipe_{}, anterior_{};
  bool ya_pendiente_ = false;
};

bool EsLoopback(const sockaddr_storage& a) {
  if (a.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
    return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
  }
  if (a.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
    if (IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr) && v6->sin6_addr.s6_addr[12] == 127;
  }
  return false;
}

// The first queued OpenSSL error as text (and the queue emptied).
std::string MotivoOpenSsl() {
  std::string motivo;
  while (const unsigned long e = ERR_get_error()) {
    if (motivo.empty()) {
      char buf[256];
      ERR_error_string_n(e, buf, sizeof buf);
      motivo = buf;
    }
  }
  return motivo;
}

// One name resolution in a helper thread. The thread owns a share of this record, so a
// resolution given up at the deadline finishes (and frees its result) on its own.
struct Resolucion {
  std::mutex mu;
  std::condition_variable listo_cv;
  bool listo = false;
  int resultado = 0;
  int err = 0;
  addrinfo* lista = nullptr;
  ~Resolucion() {
    if (lista) freeaddrinfo(lista);
  }
};

// Resolves `nombre`:`puerto` (TCP), waiting until `limite` at most.
std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> Resuelve(const std::string& nombre, std::uint16_t puerto,
                                                            Reloj::time_point limite,
                                                            std::chrono::milliseconds timeout) {
  auto r = std::make_shared<Resolucion>();
  // The helper takes no signal: they stay with the threads that wait for them.
  sigset_t todas, anterior;
  sigfillset(&todas);
  pthread_sigmask(SIG_BLOCK, &todas, &anterior);
  try {
    std::thread([r, nombre, puerto] {
      addrinfo pista{};
      pista.ai_family = AF_UNSPEC;
      pista.ai_socktype = SOCK_STREAM;
      pista.ai_protocol = IPPROTO_TCP;
      addrinfo* lista = nullptr;
      const int resultado = getaddrinfo(nombre.c_str(), std::to_string(puerto).c_str(), &pista, &lista);
      const int err = errno;
      std::lock_guard<std::mutex> l(r->mu);
      r->resultado = resultado;
      r->err = err;
      r->lista = lista;
      r->listo = true;
      r->listo_cv.notify_all();
    }).detach();
  } catch (const std::system_error& e) {
    pthread_sigmask(SIG_SETMASK, &anterior, nullptr);
    throw Error::DeErrno(e.code().value(), "No se pudo resolver " + nombre);
  }
  pthread_sigmask(SIG_SETMASK, &anterior, nullptr);

  std::unique_lock<std::mutex> l(r->mu);
  if (!r->listo_cv.wait_until(l, limite, [&r] { return r->listo; })) {
    throw Error(errnum::kTiempoAgotado, "No se pudo resolver el servidor " + nombre + " en " +
                                            std::to_string(timeout.count()) + " ms");
  }
  if (r->resultado == EAI_SYSTEM) throw Error::DeErrno(r->err, "No se pudo resolver " + nombre);
  if (r->resultado != 0) {
    throw Error(errnum::kHostDesconocido,
                "No se pudo resolver el servidor " + nombre + ": " + gai_strerror(r->resultado));
  }
  return {std::exchange(r->lista, nullptr), &freeaddrinfo};
}

}  // namespace

std::unique_ptr<Conexion> Conexion::Abre(const std::string& nombre, std::uint16_t puerto,
                                         std::chrono::milliseconds timeout) {
  const std::string descripcion = Describe(nombre, puerto);
  const auto limite = Reloj::now() + timeout;
  const auto guarda = Resuelve(nombre, puerto, limite, timeout);
  const addrinfo* lista = guarda.get();

  int ultimo_error = ECONNREFUSED;
  bool agotado = false;
  for (const addrinfo* ai = lista; ai && !agotado; ai = ai->ai_next) {
    const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          ai->ai_protocol);
    if (fd < 0) {
      ultimo_error = errno;
      continue;
    }
    // A receive buffer that holds a large overview while the program does other work (see
    // News::AnticipaResumen), where the system allows one that large; otherwise the kernel's
    // own sizing, which grows only while the program reads.
    if (const int tam = BufferDeRecepcion(); tam > 0) {
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &tam, sizeof tam);
    }
    int err = 0;
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
      err = errno;
      while (err == EINPROGRESS || err == EINTR) {
        const auto resta =
            std::chrono::duration_cast<std::chrono::milliseconds>(limite - Reloj::now());
        if (resta.count() <= 0) {
          agotado = true;
          break;
        }
        pollfd p{fd, POLLOUT, 0};
        const int n = poll(&p, 1, Milisegundos(resta));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
          err = errno;
          break;
        }
        if (n == 0) {
          agotado = true;
          break;
        }
        socklen_t largo = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &largo) != 0) err = errno;
        break;
      }
    }
    if (err != 0 || agotado) {
      if (!agotado) ultimo_error = err;
      close(fd);
      continue;
    }
    const int uno = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &uno, sizeof uno);
    sockaddr_storage par{};
    socklen_t largo = sizeof par;
    const bool loopback = getpeername(fd, reinterpret_cast<sockaddr*>(&par), &largo) == 0 &&
                          EsLoopback(par);
    return std::unique_ptr<Conexion>(new Conexion(fd, descripcion, loopback, timeout));
  }
  if (agotado) {
    throw Error(errnum::kTiempoAgotado, "No se pudo conectar con " + descripcion + " en " +
                                            std::to_string(timeout.count()) + " ms");
  }
  throw Error::DeErrno(ultimo_error, "No se pudo conectar con " + descripcion);
}

Conexion::Conexion(int fd, std::string descripcion, bool loopback,
                   std::chrono::milliseconds timeout)
    : fd_(fd),
      descripcion_(std::move(descripcion)),
      loopback_(loopback),
      timeout_(timeout),
      plazo_inicio_(Reloj::now()) {}

void Conexion::IniciaPlazo() {
  plazo_inicio_ = Reloj::now();
  plazo_bytes_ = 0;
}

std::int64_t Conexion::RestaDelPlazo() const {
  // timeout + bytes / rate, in milliseconds, saturated at a year.
  constexpr std::uint64_t kTope = 365ULL * 24 * 3600 * 1000;
  const std::uint64_t extra = std::min<std::uint64_t>(
      plazo_bytes_ / kTasaMinima * 1000 + plazo_bytes_ % kTasaMinima * 1000 / kTasaMinima, kTope);
  const auto limite = plazo_inicio_ + timeout_ + std::chrono::milliseconds(extra);
  return std::chrono::duration_cast<std::chrono::milliseconds>(limite - Reloj::now()).count();
}

void Conexion::CompruebaPlazo(const char* para) {
  if (RestaDelPlazo() > 0) return;
  // Nothing at all since the exchange began: a quiet server, told as such.
  if (plazo_bytes_ == 0) FallaSilencio(para);
  const auto usado = std::chrono::duration_cast<std::chrono::milliseconds>(Reloj::now() - plazo_inicio_);
  throw Error(errnum::kTiempoAgotado,
              "Tiempo agotado: " + descripcion_ + " no completó la respuesta en " + std::to_string(usado.count()) +
                  " ms (" + std::to_string(plazo_bytes_) + " bytes recibidos; se esperan al menos " +
                  std::to_string(timeout_.count()) + " ms más 1 s por cada " + std::to_string(kTasaMinima) +
                  " bytes) (" + para + ")");
}

Conexion::~Conexion() {
  if (ssl_) {
    SinSigpipe guarda;
    SSL_shutdown(ssl_);  // one try: the close_notify goes out if the socket takes it
    SSL_free(ssl_);
  }
  if (ctx_) SSL_CTX_free(ctx_);
  if (fd_ >= 0) close(fd_);
  // OpenSSL's error queue only when TLS was used: a first call would set up the whole library.
  if (ctx_) ERR_clear_error();
}

void Conexion::Espera(short eventos, const char* para) {
  const auto limite = Reloj::now() + timeout_;
  for (;;) {
    CompruebaPlazo(para);
    const auto resta = std::chrono::duration_cast<std::chrono::milliseconds>(limite - Reloj::now());
    const auto espera = std::min(resta, std::chrono::milliseconds(RestaDelPlazo()));
    pollfd p{fd_, eventos, 0};
    const int n = poll(&p, 1, Milisegundos(std::max(espera, std::chrono::milliseconds(0))));
    if (n > 0) return;  // ready, or an error/hang-up the next call reports
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Error::DeErrno(errno, "Error esperando a " + descripcion_);
    if (resta > espera) continue;  // the exchange's deadline: reported at the top
    FallaSilencio(para);
  }
}

void Conexion::FallaSilencio(const char* para) const {
  throw Error(errnum::kTiempoAgotado, "Tiempo agotado: " + descripcion_ + " no respondió en " +
                                          std::to_string(timeout_.count()) + " ms (" + para + ")");
}

void Conexion::FallaTls(const std::string& que) {
  const std::string motivo = MotivoOpenSsl();
  throw Error(errnum::kTls, "TLS con " + descripcion_ + ": " + que +
                                (motivo.empty() ? std::string() : " (" + motivo + ")"));
}

void Conexion::IniciaTls(const std::string& nombre, const std::string& archivo_confianza) {
  if (ssl_) return;
  if (lineas_.Pendientes() > 0) {
    throw Error(errnum::kProtocolo, "El servidor " + descripcion_ +
                                        " envió datos sin cifrar antes del acuerdo TLS");
  }
  ERR_clear_error();
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (!ctx_) FallaTls("no se pudo preparar OpenSSL");
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  if (SSL_CTX_set_default_verify_paths(ctx_) != 1) {
    FallaTls("no se pudo cargar el almacén de certificados del sistema");
  }
  if (!archivo_confianza.empty() &&
      SSL_CTX_load_verify_locations(ctx_, archivo_confianza.c_str(), nullptr) != 1) {
    FallaTls("no se pudo leer el archivo de certificados de confianza " + archivo_confianza);
  }
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);

  SSL* ssl = SSL_new(ctx_);
  if (!ssl) FallaTls("no se pudo preparar la sesión");
  std::unique_ptr<SSL, decltype(&SSL_free)> guarda(ssl, &SSL_free);
  SSL_set_fd(ssl, fd_);
  in6_addr ip{};
  const bool es_ip = inet_pton(AF_INET, nombre.c_str(), &ip) == 1 ||
                     inet_pton(AF_INET6, nombre.c_str(), &ip) == 1;
  if (es_ip) {
    if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), nombre.c_str()) != 1) {
      FallaTls("dirección no válida para verificar el certificado");
    }
  } else {
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (SSL_set_tlsext_host_name(ssl, nombre.c_str()) != 1 || SSL_set1_host(ssl, nombre.c_str()) != 1) {
      FallaTls("nombre de servidor no válido para TLS");
    }
  }
  for (;;) {
    int r;
    {
      SinSigpipe sin_sigpipe;
      r = SSL_connect(ssl);
    }
    if (r == 1) break;
    const int e = SSL_get_error(ssl, r);
    if (e == SSL_ERROR_WANT_READ) {
      Espera(POLLIN, "acuerdo TLS");
    } else if (e == SSL_ERROR_WANT_WRITE) {
      Espera(POLLOUT, "acuerdo TLS");
    } else {
      const long v = SSL_get_verify_result(ssl);
      if (v != X509_V_OK) {
        ERR_clear_error();
        throw Error(errnum::kTls, "TLS con " + descripcion_ +
                                      ": el certificado del servidor no es de confianza para " +
                                      nombre + " (" + X509_verify_cert_error_string(v) + ")");
      }
      if (e == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
        throw Error(errnum::kConexionCerrada,
                    "TLS con " + descripcion_ + ": el servidor cerró la conexión durante el acuerdo");
      }
      FallaTls("falló el acuerdo TLS");
    }
  }
  if (SSL_get0_peer_certificate(ssl) == nullptr || SSL_get_verify_result(ssl) != X509_V_OK) {
    FallaTls("el servidor no presentó un certificado válido");
  }
  ssl_ = guarda.release();
}

void Conexion::Escribe(std::string_view datos) {
  while (!datos.empty()) {
    if (ssl_) {
      std::size_t n = 0;
      int r;
      {
        SinSigpipe sin_sigpipe;
        ERR_clear_error();
        r = SSL_write_ex(ssl_, datos.data(), datos.size(), &n);
      }
      if (r == 1) {
        datos.remove_prefix(n);
        continue;
      }
      const int e = SSL_get_error(ssl_, r);
      if (e == SSL_ERROR_WANT_WRITE) {
        Espera(POLLOUT, "escribir");
      } else if (e == SSL_ERROR_WANT_READ) {
        Espera(POLLIN, "escribir");
      } else if (e == SSL_ERROR_SYSCALL || e == SSL_ERROR_ZERO_RETURN) {
        ERR_clear_error();
        throw Error(errnum::kConexionCerrada, "El servidor " + descripcion_ + " cerró la conexión");
      } else {
        FallaTls("no se pudo enviar");
      }
      continue;
    }
    const ssize_t n = send(fd_, datos.data(), datos.size(), MSG_NOSIGNAL);
    if (n >= 0) {
      datos.remove_prefix(static_cast<std::size_t>(n));
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      Espera(POLLOUT, "escribir");
    } else if (errno != EINTR) {
      if (errno == EPIPE || errno == ECONNRESET) {
        throw Error(errnum::kConexionCerrada, "El servidor " + descripcion_ + " cerró la conexión");
      }
      throw Error::DeErrno(errno, "No se pudo enviar a " + descripcion_);
    }
  }
}

void Conexion::Recibe() {
  for (;;) {
    CompruebaPlazo("leer");
    // Linux clears TCP_QUICKACK after it has acted: ask again before every read.
    const int uno = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &uno, sizeof uno);
    char* destino = lineas_.Reserva(kBloqueLectura);
    if (ssl_) {
      std::size_t n = 0;
      int r;
      {
        SinSigpipe sin_sigpipe;  // a read may have to write (key updates)
        ERR_clear_error();
        r = SSL_read_ex(ssl_, destino, kBloqueLectura, &n);
      }
      if (r == 1) {
        lineas_.Agregados(n);
        plazo_bytes_ += n;
        return;
      }
      const int e = SSL_get_error(ssl_, r);
      if (e == SSL_ERROR_WANT_READ) {
        Espera(POLLIN, "leer");
      } else if (e == SSL_ERROR_WANT_WRITE) {
        Espera(POLLOUT, "leer");
      } else if (e == SSL_ERROR_ZERO_RETURN || e == SSL_ERROR_SYSCALL ||
                 (e == SSL_ERROR_SSL &&
                  ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
        ERR_clear_error();
        throw Error(errnum::kConexionCerrada, "El servidor " + descripcion_ + " cerró la conexión");
      } else {
        FallaTls("no se pudo leer");
      }
      continue;
    }
    const ssize_t n = recv(fd_, destino, kBloqueLectura, 0);
    if (n > 0) {
      lineas_.Agregados(static_cast<std::size_t>(n));
      plazo_bytes_ += static_cast<std::uint64_t>(n);
      return;
    }
    if (n == 0) {
      throw Error(errnum::kConexionCerrada, "El servidor " + descripcion_ + " cerró la conexión");
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      Espera(POLLIN, "leer");
    } else if (errno != EINTR) {
      if (errno == ECONNRESET) {
        throw Error(errnum::kConexionCerrada, "El servidor " + descripcion_ + " cortó la conexión");
      }
      throw Error::DeErrno(errno, "No se pudo leer de " + descripcion_);
    }
  }
}

std::string_view Conexion::LeeLinea() {
  for (;;) {
    if (auto linea = lineas_.Siguiente()) return *linea;
    Recibe();
  }
}

}  // namespace tablon::nntp
