#include "red/conexion.h"

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
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "core/error.h"
#include "core/traduce.h"
#include "red/direccion.h"

namespace tablon::red {

namespace {

using Reloj = std::chrono::steady_clock;

// Bytes asked for per read: an overview arrives in one or a few reads, not one per line. Also
// the most one step of inflating adds to the line buffer.
constexpr std::size_t kBloqueLectura = 256 * 1024;
// Compressed bytes asked for per read: an overview deflates to about a quarter.
constexpr std::size_t kBloqueComprimido = 64 * 1024;

// What a connection was doing when its deadline passed, as its errors say it (translated there),
// and how a peer's close reads.
// TRANSLATORS: what the connection was doing, in brackets after "did not answer in N ms".
constexpr const char* kLeer = ParaTraducir("leer");
// TRANSLATORS: what the connection was doing, in brackets after "did not answer in N ms".
constexpr const char* kEscribir = ParaTraducir("escribir");
constexpr const char* kCerro = ParaTraducir("El servidor %s cerró la conexión");

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
    throw Error::DeErrno(e.code().value(), Formatea(Traduce("No se pudo resolver %s"), {nombre}));
  }
  pthread_sigmask(SIG_SETMASK, &anterior, nullptr);

  std::unique_lock<std::mutex> l(r->mu);
  if (!r->listo_cv.wait_until(l, limite, [&r] { return r->listo; })) {
    throw Error(errnum::kTiempoAgotado, Formatea(Traduce("No se pudo resolver el servidor %s en %s ms"),
                                                 {nombre, std::to_string(timeout.count())}));
  }
  if (r->resultado == EAI_SYSTEM) throw Error::DeErrno(r->err, Formatea(Traduce("No se pudo resolver %s"), {nombre}));
  if (r->resultado != 0) {
    throw Error(errnum::kHostDesconocido,
                Formatea(Traduce("No se pudo resolver el servidor %s: %s"), {nombre, gai_strerror(r->resultado)}));
  }
  return {std::exchange(r->lista, nullptr), &freeaddrinfo};
}

}  // namespace

struct Conexion::Zlib {
  z_stream entrada{};  // inflates what the server sends
  z_stream salida{};   // deflates what is sent
  bool entrada_lista = false, salida_lista = false;
  // Received and not inflated yet: entrada.next_in, entrada.avail_in bytes.
  std::unique_ptr<unsigned char[]> comprimido = std::make_unique_for_overwrite<unsigned char[]>(kBloqueComprimido);
  std::string enviado;  // the deflated form of the last Escribe
  bool terminado = false;  // the server ended its deflate stream (a final block)
  // The stream turned out corrupt after some of it inflated: what inflated is read first (it
  // may end the reply to an earlier command), the failure comes when more is needed.
  std::optional<Error> corrupto;

  ~Zlib() {
    if (entrada_lista) inflateEnd(&entrada);
    if (salida_lista) deflateEnd(&salida);
  }
  // Inflate is between blocks, having used every byte received: a close now cuts no block.
  bool EntreBloques() const {
    return entrada.avail_in == 0 && (entrada.total_in == 0 || (entrada.data_type & 128) != 0);
  }
};

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
    // Control::AnticipaResumen), where the system allows one that large; otherwise the kernel's
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
    throw Error(errnum::kTiempoAgotado, Formatea(Traduce("No se pudo conectar con %s en %s ms"),
                                                 {descripcion, std::to_string(timeout.count())}));
  }
  throw Error::DeErrno(ultimo_error, Formatea(Traduce("No se pudo conectar con %s"), {descripcion}));
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
  // Rounded up: a deadline less than a millisecond away has not passed yet.
  return std::chrono::ceil<std::chrono::milliseconds>(limite - Reloj::now()).count();
}

void Conexion::CompruebaPlazo(const char* para) {
  if (RestaDelPlazo() > 0) return;
  // Nothing at all since the exchange began: a quiet server, told as such.
  if (plazo_bytes_ == 0) FallaSilencio(para);
  const auto usado = std::chrono::duration_cast<std::chrono::milliseconds>(Reloj::now() - plazo_inicio_);
  throw Error(errnum::kTiempoAgotado,
              Formatea(Traduce("Tiempo agotado: %s no completó la respuesta en %s ms (%s bytes recibidos; se esperan "
                               "al menos %s ms más 1 s por cada %s bytes) (%s)"),
                       {descripcion_, std::to_string(usado.count()), std::to_string(plazo_bytes_),
                        std::to_string(timeout_.count()), std::to_string(kTasaMinima), Traduce(para)}));
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
    const auto resta = std::chrono::ceil<std::chrono::milliseconds>(limite - Reloj::now());
    const auto espera = std::min(resta, std::chrono::milliseconds(RestaDelPlazo()));
    pollfd p{fd_, eventos, 0};
    const int n = poll(&p, 1, Milisegundos(std::max(espera, std::chrono::milliseconds(0))));
    if (n > 0) return;  // ready, or an error/hang-up the next call reports
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Error::DeErrno(errno, Formatea(Traduce("Error esperando a %s"), {descripcion_}));
    if (resta > espera) continue;  // the exchange's deadline: reported at the top
    FallaSilencio(para);
  }
}

void Conexion::FallaSilencio(const char* para) const {
  throw Error(errnum::kTiempoAgotado, Formatea(Traduce("Tiempo agotado: %s no respondió en %s ms (%s)"),
                                               {descripcion_, std::to_string(timeout_.count()), Traduce(para)}));
}

void Conexion::FallaTls(const std::string& que) {
  const std::string motivo = MotivoOpenSsl();
  throw Error(errnum::kTls, Formatea(Traduce("TLS con %s: %s"), {descripcion_, que}) +
                                (motivo.empty() ? std::string() : " (" + motivo + ")"));
}

void Conexion::IniciaTls(const std::string& nombre, const std::string& archivo_confianza) {
  if (ssl_) return;
  if (z_) {
    throw Error(errnum::kTls,
                Formatea(Traduce("TLS con %s: no se inicia TLS en una conexión comprimida"), {descripcion_}));
  }
  if (lineas_.Pendientes() > 0) {
    throw Error(errnum::kProtocolo,
                Formatea(Traduce("El servidor %s envió datos sin cifrar antes del acuerdo TLS"), {descripcion_}));
  }
  ERR_clear_error();
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (!ctx_) FallaTls(Traduce("no se pudo preparar OpenSSL"));
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  if (SSL_CTX_set_default_verify_paths(ctx_) != 1) {
    FallaTls(Traduce("no se pudo cargar el almacén de certificados del sistema"));
  }
  if (!archivo_confianza.empty() &&
      SSL_CTX_load_verify_locations(ctx_, archivo_confianza.c_str(), nullptr) != 1) {
    FallaTls(Formatea(Traduce("no se pudo leer el archivo de certificados de confianza %s"), {archivo_confianza}));
  }
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);

  SSL* ssl = SSL_new(ctx_);
  if (!ssl) FallaTls(Traduce("no se pudo preparar la sesión"));
  std::unique_ptr<SSL, decltype(&SSL_free)> guarda(ssl, &SSL_free);
  SSL_set_fd(ssl, fd_);
  in6_addr ip{};
  const bool es_ip = inet_pton(AF_INET, nombre.c_str(), &ip) == 1 ||
                     inet_pton(AF_INET6, nombre.c_str(), &ip) == 1;
  if (es_ip) {
    if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), nombre.c_str()) != 1) {
      FallaTls(Traduce("dirección no válida para verificar el certificado"));
    }
  } else {
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (SSL_set_tlsext_host_name(ssl, nombre.c_str()) != 1 || SSL_set1_host(ssl, nombre.c_str()) != 1) {
      FallaTls(Traduce("nombre de servidor no válido para TLS"));
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
      Espera(POLLIN, ParaTraducir("acuerdo TLS"));
    } else if (e == SSL_ERROR_WANT_WRITE) {
      Espera(POLLOUT, ParaTraducir("acuerdo TLS"));
    } else {
      const long v = SSL_get_verify_result(ssl);
      if (v != X509_V_OK) {
        ERR_clear_error();
        throw Error(errnum::kTls,
                    Formatea(Traduce("TLS con %s: el certificado del servidor no es de confianza para %s (%s)"),
                             {descripcion_, nombre, X509_verify_cert_error_string(v)}));
      }
      if (e == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
        throw Error(errnum::kConexionCerrada,
                    Formatea(Traduce("TLS con %s: el servidor cerró la conexión durante el acuerdo"), {descripcion_}));
      }
      FallaTls(Traduce("falló el acuerdo TLS"));
    }
  }
  if (SSL_get0_peer_certificate(ssl) == nullptr || SSL_get_verify_result(ssl) != X509_V_OK) {
    FallaTls(Traduce("el servidor no presentó un certificado válido"));
  }
  ssl_ = guarda.release();
}

void Conexion::IniciaCompresion() {
  if (z_) return;
  if (lineas_.Pendientes() > 0) {
    throw Error(errnum::kProtocolo,
                Formatea(Traduce("El servidor %s envió datos sin comprimir tras aceptar la compresión"),
                         {descripcion_}));
  }
  auto z = std::make_unique<Zlib>();
  auto falla = [this](int r, const z_stream& s) -> Error {
    if (r == Z_MEM_ERROR) throw std::bad_alloc();
    return Error(errnum::kProtocolo,
                 Formatea(Traduce("No se pudo preparar la compresión con %s (zlib: %s)"),
                          {descripcion_, s.msg ? s.msg : std::to_string(r)}));
  };
  // Raw deflate (negative windowBits) with the largest window, as the server may use it.
  if (const int r = inflateInit2(&z->entrada, -15); r != Z_OK) throw falla(r, z->entrada);
  z->entrada_lista = true;
  if (const int r = deflateInit2(&z->salida, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
      r != Z_OK) {
    throw falla(r, z->salida);
  }
  z->salida_lista = true;
  z_ = std::move(z);
}

void Conexion::Escribe(std::string_view datos) {
  if (!z_) {
    EscribeCrudo(datos);
    return;
  }
  z_stream& s = z_->salida;
  std::string& out = z_->enviado;
  if (out.size() < 4096) out.resize(4096);
  std::size_t usado = 0;
  // In pieces zlib's counters hold; the last one flushed, so the server can read it all.
  do {
    const std::size_t pieza = std::min<std::size_t>(datos.size(), 1u << 20);
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(datos.data()));
    s.avail_in = static_cast<uInt>(pieza);
    datos.remove_prefix(pieza);
    const int vaciado = datos.empty() ? Z_SYNC_FLUSH : Z_NO_FLUSH;
    do {
      if (out.size() - usado < 64) out.resize(out.size() * 2);
      s.next_out = reinterpret_cast<Bytef*>(out.data() + usado);
      s.avail_out = static_cast<uInt>(std::min<std::size_t>(out.size() - usado, UINT_MAX));
      const std::size_t libre = s.avail_out;
      const int r = deflate(&s, vaciado);
      if (r == Z_STREAM_ERROR) {
        throw Error(errnum::kProtocolo, Formatea(Traduce("No se pudo comprimir lo enviado a %s"), {descripcion_}));
      }
      usado += libre - s.avail_out;
    } while (s.avail_out == 0 || s.avail_in > 0);
  } while (!datos.empty());
  EscribeCrudo(std::string_view(out.data(), usado));
}

void Conexion::EscribeCrudo(std::string_view datos) {
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
        Espera(POLLOUT, kEscribir);
      } else if (e == SSL_ERROR_WANT_READ) {
        Espera(POLLIN, kEscribir);
      } else if (e == SSL_ERROR_SYSCALL || e == SSL_ERROR_ZERO_RETURN) {
        ERR_clear_error();
        FallaCierre(kCerro);
      } else {
        FallaTls(Traduce("no se pudo enviar"));
      }
      continue;
    }
    const ssize_t n = send(fd_, datos.data(), datos.size(), MSG_NOSIGNAL);
    if (n >= 0) {
      datos.remove_prefix(static_cast<std::size_t>(n));
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      Espera(POLLOUT, kEscribir);
    } else if (errno != EINTR) {
      if (errno == EPIPE || errno == ECONNRESET) FallaCierre(kCerro);
      throw Error::DeErrno(errno, Formatea(Traduce("No se pudo enviar a %s"), {descripcion_}));
    }
  }
}

void Conexion::FallaCierre(const char* formato) const {
  throw Error(errnum::kConexionCerrada,
              Formatea(Traduce(formato), {descripcion_}) +
                  (z_ && !z_->terminado && !z_->EntreBloques() ? Traduce(" en medio de un bloque comprimido") : ""));
}

void Conexion::Recibe() {
  if (!z_) {
    char* destino = lineas_.Reserva(kBloqueLectura);
    const std::size_t n = RecibeCrudo(destino, kBloqueLectura);
    lineas_.Agregados(n);
    plazo_bytes_ += n;
    return;
  }
  z_stream& s = z_->entrada;
  if (z_->corrupto) throw *z_->corrupto;
  for (;;) {
    if (s.avail_in == 0) {
      s.next_in = z_->comprimido.get();
      s.avail_in = static_cast<uInt>(RecibeCrudo(reinterpret_cast<char*>(z_->comprimido.get()), kBloqueComprimido));
    }
    if (z_->terminado) {
      throw Error(errnum::kProtocolo,
                  Formatea(Traduce("El servidor %s envió datos tras cerrar su flujo comprimido: se cierra la conexión"),
                           {descripcion_}));
    }
    // At most one read block at a time, straight into the line buffer: the line and reply
    // bounds are checked between steps, however much the input inflates to.
    char* destino = lineas_.Reserva(kBloqueLectura);
    s.next_out = reinterpret_cast<Bytef*>(destino);
    s.avail_out = static_cast<uInt>(kBloqueLectura);
    const int r = inflate(&s, Z_SYNC_FLUSH);
    const std::size_t n = kBloqueLectura - s.avail_out;
    lineas_.Agregados(n);
    // The deadline counts the reply's bytes, inflated: a server that keeps the stream busy with
    // blocks that inflate to nothing gains no time by it.
    plazo_bytes_ += n;
    if (r == Z_STREAM_END) {
      z_->terminado = true;
    } else if (r == Z_MEM_ERROR) {
      throw std::bad_alloc();
    } else if (r != Z_OK && r != Z_BUF_ERROR) {
      Error e(errnum::kProtocolo,
              Formatea(Traduce("Flujo comprimido no válido del servidor %s (%s): se cierra la conexión"),
                       {descripcion_, s.msg ? s.msg : "zlib " + std::to_string(r)}));
      if (n == 0) throw e;
      z_->corrupto = std::move(e);
      return;
    }
    if (n > 0) return;
  }
}

std::size_t Conexion::RecibeCrudo(char* destino, std::size_t tam) {
  for (;;) {
    CompruebaPlazo(kLeer);
    // Linux clears TCP_QUICKACK after it has acted: ask again before every read.
    const int uno = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &uno, sizeof uno);
    if (ssl_) {
      std::size_t n = 0;
      int r;
      {
        SinSigpipe sin_sigpipe;  // a read may have to write (key updates)
        ERR_clear_error();
        r = SSL_read_ex(ssl_, destino, tam, &n);
      }
      if (r == 1) return n;
      const int e = SSL_get_error(ssl_, r);
      if (e == SSL_ERROR_WANT_READ) {
        Espera(POLLIN, kLeer);
      } else if (e == SSL_ERROR_WANT_WRITE) {
        Espera(POLLOUT, kLeer);
      } else if (e == SSL_ERROR_ZERO_RETURN || e == SSL_ERROR_SYSCALL ||
                 (e == SSL_ERROR_SSL &&
                  ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
        ERR_clear_error();
        FallaCierre(kCerro);
      } else {
        FallaTls(Traduce("no se pudo leer"));
      }
      continue;
    }
    const ssize_t n = recv(fd_, destino, tam, 0);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n == 0) FallaCierre(kCerro);
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      Espera(POLLIN, kLeer);
    } else if (errno != EINTR) {
      if (errno == ECONNRESET) FallaCierre(ParaTraducir("El servidor %s cortó la conexión"));
      throw Error::DeErrno(errno, Formatea(Traduce("No se pudo leer de %s"), {descripcion_}));
    }
  }
}

std::size_t Conexion::LeeBytes(char* destino, std::size_t n) {
  if (n == 0) return 0;
  if (lineas_.Pendientes() == 0 && !z_) {
    const std::size_t recibidos = RecibeCrudo(destino, n);
    plazo_bytes_ += recibidos;
    return recibidos;
  }
  // Compressed: inflated into the line buffer, the deadline counting what inflated.
  while (lineas_.Pendientes() == 0) Recibe();
  return lineas_.Toma(destino, n);
}

std::string_view Conexion::LeeLinea() {
  for (;;) {
    if (auto linea = lineas_.Siguiente()) return *linea;
    Recibe();
  }
}

}  // namespace tablon::red
