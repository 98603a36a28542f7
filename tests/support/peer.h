// A scripted NNTP peer for the faults a real server does not produce: it listens on 127.0.0.1
// (an ephemeral port), takes one connection in its own thread and plays a script of expected
// commands and canned replies, plain or TLS (from the first byte, or after a STARTTLS step).
// Given several scripts, it takes one connection after another and plays each its own script.
// After a kCompress step both directions are raw deflate (RFC 8054): commands are inflated as
// they come, replies deflated and flushed one by one, except those marked `raw` (bytes a test
// deflated, cut or corrupted itself).
// A command other than the one the script expects is recorded as a failure and answered
// "500"; after the script, QUIT is answered 205 (an IMAP "TAG LOGOUT" with BYE and TAG OK) and
// anything else is a failure.
// Every wait of the peer is bounded, so a test never hangs on it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/tmpdir.h"

typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;

namespace tablon::test {

// A key and a self-signed certificate made at run time, the certificate's PEM in a temporary
// file (to pass as a trust file) and the key's beside it (mode 0600, for a server that reads
// its key from a file). `alt_names` is the subjectAltName list in OpenSSL's notation.
class TlsIdentity {
 public:
  explicit TlsIdentity(const std::string& alt_names = "IP:127.0.0.1,DNS:localhost");
  ~TlsIdentity();
  TlsIdentity(const TlsIdentity&) = delete;
  TlsIdentity& operator=(const TlsIdentity&) = delete;

  std::string CertFile() const { return (dir_ / "cert.pem").string(); }
  std::string KeyFile() const { return (dir_ / "key.pem").string(); }
  EVP_PKEY* Key() const { return key_; }
  X509* Cert() const { return cert_; }

 private:
  TmpDir dir_;
  EVP_PKEY* key_ = nullptr;
  X509* cert_ = nullptr;
};

struct Step {
  enum class Then {
    kContinue,  // go on with the next step
    kClose,     // close the connection after the reply
    kSilence,   // say nothing more; wait until the client gives up
    kStartTls,  // run the server side of a TLS handshake after the reply
    kEndless,   // after the reply, send `more` again and again until the client closes
    kDrip,      // after the reply, send `more` one byte a second, again and again, until the
                // client closes
    kCompress,  // compress both directions after the reply
  };
  // The command line expected, without its line end; "" for the greeting (sent on accept);
  // a trailing '*' matches any line starting with what precedes it.
  std::string expect;
  // Sent exactly as given (line ends included); may be empty.
  std::string reply;
  Then then = Then::kContinue;
  // What kEndless and kDrip repeat.
  std::string more = {};
  // The reply (and what kEndless repeats) goes out as given even when the connection is
  // compressed.
  bool raw = false;
};

// `text` as raw deflate from a fresh stream, ended by a sync flush: what a compressing server
// sends for it as its first bytes (or after any earlier flushed reply, whose window it ignores).
std::string Deflate(std::string_view text);

// Lines joined with CRLF, each ended by CRLF.
std::string Lines(const std::vector<std::string>& lines);

class Peer {
 public:
  // `tls`: when given, TLS from the first byte (implicit) or at a kStartTls step with it.
  explicit Peer(std::vector<Step> script, const TlsIdentity* tls = nullptr, bool implicit_tls = false);
  // One script per connection, in the order the connections come:
  // Peer(Peer::kEachConnection, {first, second}).
  struct EachConnection {};
  static constexpr EachConnection kEachConnection{};
  Peer(EachConnection, std::vector<std::vector<Step>> scripts, const TlsIdentity* tls = nullptr,
       bool implicit_tls = false);
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  std::string Host() const;  // "127.0.0.1:port"
  std::uint16_t Port() const { return port_; }

  struct Received {
    std::string line;
    bool over_tls = false;
  };
  // The command lines received so far, in order (of every connection).
  std::vector<Received> Commands() const;
  // The connections accepted so far.
  int Connections() const;
  // Script failures, one per line; empty when the client did what the script expected.
  std::string Failures() const;
  // Stops the peer (closing the connection) and waits for its thread.
  void Stop();

 private:
  void Run();
  void Play(const std::vector<Step>& script);
  void Fail(const std::string& what);

  std::vector<std::vector<Step>> scripts_;
  const TlsIdentity* tls_;
  bool implicit_tls_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  mutable std::mutex mu_;
  std::vector<Received> received_;
  int connections_ = 0;
  std::string failures_;
  std::thread thread_;
};

}  // namespace tablon::test
