#include "support/peer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace tablon::test {

namespace {

// No single wait of the peer lasts longer than this.
constexpr int kEsperaMaximaMs = 15000;
// Nor does an endless or dripping reply.
constexpr auto kSinFinMaximo = std::chrono::seconds(60);

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("TlsIdentity: ") + what);
}

// One accepted connection, plain or TLS, non-blocking, every wait also ending on `stop`.
class Session {
 public:
  Session(int fd, int stop) : fd_(fd), stop_(stop) {}
  ~Session() {
    if (compressed_) {
      inflateEnd(&in_);
      deflateEnd(&out_);
    }
    if (ssl_) {
      SSL_shutdown(ssl_);
      SSL_free(ssl_);
    }
    if (ctx_) SSL_CTX_free(ctx_);
    close(fd_);
  }

  bool tls() const { return ssl_ != nullptr; }

  // false when stopped, timed out or the peer went away.
  bool Wait(short events) {
    pollfd p[2] = {{fd_, events, 0}, {stop_, POLLIN, 0}};
    const int n = poll(p, 2, kEsperaMaximaMs);
    return n > 0 && !(p[1].revents & POLLIN);
  }

  bool Handshake(const TlsIdentity& id) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (!ctx_ || SSL_CTX_use_certificate(ctx_, id.Cert()) != 1 ||
        SSL_CTX_use_PrivateKey(ctx_, id.Key()) != 1) {
      return false;
    }
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd_);
    for (;;) {
      const int r = SSL_accept(ssl_);
      if (r == 1) return true;
      const int e = SSL_get_error(ssl_, r);
      if (e == SSL_ERROR_WANT_READ ? !Wait(POLLIN) : e == SSL_ERROR_WANT_WRITE ? !Wait(POLLOUT) : true) {
        ERR_clear_error();
        return false;
      }
    }
  }

  // From now on: what comes is inflated, what Write sends deflated. Bytes already received
  // after the last line read are taken as compressed.
  void Compress() {
    inflateInit2(&in_, -15);
    deflateInit2(&out_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    compressed_ = true;
    std::string pending;
    pending.swap(buffer_);
    Inflate(pending);
  }

  // Sends `data`, deflated and flushed when compressed unless `raw`.
  bool Write(std::string_view data, bool raw = false) {
    if (!compressed_ || raw) return WriteRaw(data);
    std::string deflated;
    out_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    out_.avail_in = static_cast<uInt>(data.size());
    char chunk[16384];
    do {
      out_.next_out = reinterpret_cast<Bytef*>(chunk);
      out_.avail_out = sizeof chunk;
      deflate(&out_, Z_SYNC_FLUSH);
      deflated.append(chunk, sizeof chunk - out_.avail_out);
    } while (out_.avail_out == 0);
    return WriteRaw(deflated);
  }

  bool WriteRaw(std::string_view data) {
    while (!data.empty()) {
      if (ssl_) {
        std::size_t n = 0;
        const int r = SSL_write_ex(ssl_, data.data(), data.size(), &n);
        if (r == 1) {
          data.remove_prefix(n);
          continue;
        }
        const int e = SSL_get_error(ssl_, r);
        if (e == SSL_ERROR_WANT_READ ? !Wait(POLLIN) : e == SSL_ERROR_WANT_WRITE ? !Wait(POLLOUT) : true) {
          ERR_clear_error();
          return false;
        }
        continue;
      }
      const ssize_t n = send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
      if (n > 0) {
        data.remove_prefix(static_cast<std::size_t>(n));
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        if (!Wait(POLLOUT)) return false;
      } else {
        return false;
      }
    }
    return true;
  }

  // The next line without CRLF; false on end of stream, stop or timeout.
  bool ReadLine(std::string& line) {
    for (;;) {
      const std::size_t lf = buffer_.find('\n');
      if (lf != std::string::npos) {
        line = buffer_.substr(0, lf);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        buffer_.erase(0, lf + 1);
        return true;
      }
      char buf[4096];
      if (ssl_) {
        std::size_t n = 0;
        const int r = SSL_read_ex(ssl_, buf, sizeof buf, &n);
        if (r == 1) {
          if (!Take(std::string_view(buf, n))) return false;
          continue;
        }
        const int e = SSL_get_error(ssl_, r);
        if (e == SSL_ERROR_WANT_READ ? !Wait(POLLIN) : e == SSL_ERROR_WANT_WRITE ? !Wait(POLLOUT) : true) {
          ERR_clear_error();
          return false;
        }
        continue;
      }
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n > 0) {
        if (!Take(std::string_view(buf, static_cast<std::size_t>(n)))) return false;
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        if (!Wait(POLLIN)) return false;
      } else {
        return false;
      }
    }
  }

  // Waits up to `ms` for the client to close its side; true when it did, or on stop.
  bool ClientGone(int ms) {
    pollfd p[2] = {{fd_, POLLRDHUP, 0}, {stop_, POLLIN, 0}};
    const int n = poll(p, 2, ms);
    return n != 0;
  }

  // Waits until the client closes (or stop, or the longest wait), reading and dropping input.
  void DrainUntilClosed() {
    std::string ignored;
    while (ReadLine(ignored)) {
    }
  }

 private:
  // Received bytes into buffer_, inflated when compressed; false when they do not inflate.
  bool Take(std::string_view bytes) {
    if (!compressed_) {
      buffer_.append(bytes);
      return true;
    }
    return Inflate(bytes);
  }
  bool Inflate(std::string_view bytes) {
    in_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    in_.avail_in = static_cast<uInt>(bytes.size());
    char chunk[16384];
    do {
      in_.next_out = reinterpret_cast<Bytef*>(chunk);
      in_.avail_out = sizeof chunk;
      const int r = inflate(&in_, Z_SYNC_FLUSH);
      buffer_.append(chunk, sizeof chunk - in_.avail_out);
      if (r != Z_OK && r != Z_BUF_ERROR) return false;
    } while (in_.avail_in > 0 || in_.avail_out == 0);
    return true;
  }

  int fd_;
  int stop_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  std::string buffer_;
  bool compressed_ = false;
  z_stream in_{}, out_{};
};

bool Matches(const std::string& expect, const std::string& line) {
  if (!expect.empty() && expect.back() == '*') {
    return line.compare(0, expect.size() - 1, expect, 0, expect.size() - 1) == 0;
  }
  return line == expect;
}

}  // namespace

TlsIdentity::TlsIdentity(const std::string& alt_names) {
  key_ = EVP_EC_gen("P-256");
  Check(key_ != nullptr, "EVP_EC_gen");
  cert_ = X509_new();
  Check(cert_ != nullptr, "X509_new");
  X509_set_version(cert_, 2);
  unsigned char serial[8];
  RAND_bytes(serial, sizeof serial);
  ASN1_INTEGER_set(X509_get_serialNumber(cert_), static_cast<long>(serial[0] & 0x7f) << 16 | serial[1] << 8 | serial[2]);
  X509_gmtime_adj(X509_getm_notBefore(cert_), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert_), 7L * 24 * 3600);
  X509_set_pubkey(cert_, key_);
  X509_NAME* name = X509_get_subject_name(cert_);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Tablon test peer"), -1, -1, 0);
  X509_set_issuer_name(cert_, name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert_, cert_, nullptr, nullptr, 0);
  X509_EXTENSION* san = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, alt_names.c_str());
  Check(san != nullptr, "subjectAltName");
  X509_add_ext(cert_, san, -1);
  X509_EXTENSION_free(san);
  Check(X509_sign(cert_, key_, EVP_sha256()) > 0, "X509_sign");

  FILE* f = std::fopen(CertFile().c_str(), "w");
  Check(f != nullptr, "fopen");
  const int ok = PEM_write_X509(f, cert_);
  std::fclose(f);
  Check(ok == 1, "PEM_write_X509");

  const int fd = open(KeyFile().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  Check(fd >= 0, "open key.pem");
  FILE* k = fdopen(fd, "w");
  Check(k != nullptr, "fdopen");
  const int ok_clave = PEM_write_PrivateKey(k, key_, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(k);
  Check(ok_clave == 1, "PEM_write_PrivateKey");
}

TlsIdentity::~TlsIdentity() {
  X509_free(cert_);
  EVP_PKEY_free(key_);
}

std::string Deflate(std::string_view text) {
  z_stream z{};
  deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, static_cast<uLong>(text.size())) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_SYNC_FLUSH);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  return out;
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string r;
  for (const std::string& l : lines) r += l + "\r\n";
  return r;
}

Peer::Peer(std::vector<Step> script, const TlsIdentity* tls, bool implicit_tls)
    : Peer(kEachConnection, std::vector<std::vector<Step>>{std::move(script)}, tls, implicit_tls) {}

Peer::Peer(EachConnection, std::vector<std::vector<Step>> scripts, const TlsIdentity* tls, bool implicit_tls)
    : scripts_(std::move(scripts)), tls_(tls), implicit_tls_(implicit_tls) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("Peer: socket");
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listen_fd_, 4) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    close(listen_fd_);
    throw std::runtime_error("Peer: bind/listen");
  }
  port_ = ntohs(a.sin_port);
  if (pipe2(stop_pipe_, O_CLOEXEC) != 0) {
    close(listen_fd_);
    throw std::runtime_error("Peer: pipe");
  }
  thread_ = std::thread([this] { Run(); });
}

Peer::~Peer() {
  Stop();
  close(listen_fd_);
  close(stop_pipe_[0]);
  close(stop_pipe_[1]);
}

void Peer::Stop() {
  if (!thread_.joinable()) return;
  const char c = 'x';
  [[maybe_unused]] const ssize_t n = write(stop_pipe_[1], &c, 1);
  thread_.join();
}

std::string Peer::Host() const { return "127.0.0.1:" + std::to_string(port_); }

std::vector<Peer::Received> Peer::Commands() const {
  std::lock_guard<std::mutex> lock(mu_);
  return received_;
}

int Peer::Connections() const {
  std::lock_guard<std::mutex> lock(mu_);
  return connections_;
}

std::string Peer::Failures() const {
  std::lock_guard<std::mutex> lock(mu_);
  return failures_;
}

void Peer::Fail(const std::string& what) {
  std::lock_guard<std::mutex> lock(mu_);
  failures_ += what + "\n";
}

void Peer::Run() {
  // A client that goes away while a big reply is being written must not end the test program.
  sigset_t pipe_set;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_set, nullptr);
  for (const std::vector<Step>& script : scripts_) {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(p, 2, kEsperaMaximaMs) <= 0 || (p[1].revents & POLLIN)) return;
    Play(script);
  }
}

void Peer::Play(const std::vector<Step>& script) {
  const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++connections_;
  }
  Session s(fd, stop_pipe_[0]);
  if (implicit_tls_ && (!tls_ || !s.Handshake(*tls_))) return;

  std::string line;
  for (const Step& step : script) {
    if (!step.expect.empty()) {
      if (!s.ReadLine(line)) return;  // the client gave up: its own error says why
      {
        std::lock_guard<std::mutex> lock(mu_);
        received_.push_back({line, s.tls()});
      }
      if (!Matches(step.expect, line)) {
        Fail("se esperaba \"" + step.expect + "\" y llegó \"" + line + "\"");
        s.Write("500 not in the script\r\n");
        return;
      }
    }
    if (!step.reply.empty() && !s.Write(step.reply, step.raw)) return;
    switch (step.then) {
      case Step::Then::kContinue:
        break;
      case Step::Then::kClose:
        return;
      case Step::Then::kSilence:
        s.DrainUntilClosed();
        return;
      case Step::Then::kStartTls:
        if (!tls_ || !s.Handshake(*tls_)) return;
        break;
      case Step::Then::kCompress:
        s.Compress();
        break;
      case Step::Then::kEndless: {
        const auto end = std::chrono::steady_clock::now() + kSinFinMaximo;
        while (!step.more.empty() && std::chrono::steady_clock::now() < end && s.Write(step.more, step.raw)) {
        }
        return;
      }
      case Step::Then::kDrip: {
        const auto end = std::chrono::steady_clock::now() + kSinFinMaximo;
        for (std::size_t i = 0; !step.more.empty() && std::chrono::steady_clock::now() < end; ++i) {
          if (!s.Write(std::string_view(step.more).substr(i % step.more.size(), 1)) || s.ClientGone(1000)) break;
        }
        return;
      }
    }
  }
  while (s.ReadLine(line)) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      received_.push_back({line, s.tls()});
    }
    if (line == "QUIT") {
      s.Write("205 bye\r\n");
      return;
    }
    // An IMAP client's closing "aN LOGOUT".
    if (const std::size_t blank = line.find(' ');
        blank != std::string::npos && line.compare(blank, std::string::npos, " LOGOUT") == 0) {
      s.Write("* BYE logging out\r\n" + line.substr(0, blank) + " OK LOGOUT completed\r\n");
      return;
    }
    Fail("orden fuera del guion: \"" + line + "\"");
    s.Write("500 not in the script\r\n");
  }
}

}  // namespace tablon::test
