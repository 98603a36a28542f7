// The tablon program as the crash test runs it: the real program (app/programa.h) over a
// file-system seam that ends the process at an exact write, as a crash or a kill would.
//
// Every write operation through the seam (opening a file for writing or creating, write, rename,
// exchange, link, unlink, mkdir) counts. When TABLON_PRUEBA_ABORTA_EN holds a positive number
// N, the N-th such call ends the process at once with _exit(86) before the operation: no
// destructor runs, nothing is flushed, exactly as if the process had been killed there. Without
// it the program runs as the real one does.
//
// The same for a store in an IMAP account: with TABLON_PRUEBA_ABORTA_IMAP=N the process ends
// just before the N-th command that changes the account (APPEND, STORE, EXPUNGE, MOVE, COPY,
// CREATE; UID ones included) is sent.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include <string_view>

#include "app/programa.h"
#include "core/fs.h"
#include "store/imap/sesion_imap.h"

namespace {

// The exit code of a process this seam ended (tests/inn_choque_test.cc expects it).
constexpr int kSalidaAbortoPrueba = 86;

class FsQueAborta : public tablon::Fs {
 public:
  explicit FsQueAborta(long limite) : limite_(limite) {}

  int Open(const std::string& path, int flags, mode_t mode) override {
    if ((flags & (O_WRONLY | O_RDWR | O_CREAT)) != 0) Punto();
    return Fs::Open(path, flags, mode);
  }
  ssize_t Write(int fd, const void* buf, size_t n) override {
    Punto();
    return Fs::Write(fd, buf, n);
  }
  int Rename(const std::string& from, const std::string& to) override {
    Punto();
    return Fs::Rename(from, to);
  }
  int RenameExchange(const std::string& a, const std::string& b) override {
    Punto();
    return Fs::RenameExchange(a, b);
  }
  int Link(const std::string& from, const std::string& to) override {
    Punto();
    return Fs::Link(from, to);
  }
  int Unlink(const std::string& path) override {
    Punto();
    return Fs::Unlink(path);
  }
  int Mkdir(const std::string& path, mode_t mode) override {
    Punto();
    return Fs::Mkdir(path, mode);
  }

 private:
  void Punto() {
    if (limite_ > 0 && ++cuenta_ == limite_) ::_exit(kSalidaAbortoPrueba);
  }
  long limite_;
  long cuenta_ = 0;
};

long Limite(const char* variable) {
  const char* v = std::getenv(variable);
  if (!v || !*v) return 0;
  char* fin = nullptr;
  const long n = std::strtol(v, &fin, 10);
  return fin && *fin == '\0' && n > 0 ? n : 0;
}

}  // namespace

long limite_imap = 0, cuenta_imap = 0;

void AntesDeEnviarImap(std::string_view texto) {
  if (texto.starts_with("UID ")) texto.remove_prefix(4);
  for (const std::string_view cambia : {"APPEND ", "STORE ", "EXPUNGE", "MOVE ", "COPY ", "CREATE "}) {
    if (texto.starts_with(cambia)) {
      if (++cuenta_imap == limite_imap) ::_exit(kSalidaAbortoPrueba);
      return;
    }
  }
}

int main(int argc, char** argv) {
  tablon::FijaFsDelPrograma(std::make_shared<FsQueAborta>(Limite("TABLON_PRUEBA_ABORTA_EN")));
  limite_imap = Limite("TABLON_PRUEBA_ABORTA_IMAP");
  if (limite_imap > 0) tablon::store::imap::SesionImap::FijaAntesDeEnviar(&AntesDeEnviarImap);
  return tablon::EjecutaPrograma(argc, argv);
}
