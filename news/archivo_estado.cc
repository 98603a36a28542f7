#include "news/archivo_estado.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/aborto_prueba.h"
#include "core/error.h"

namespace tablon {

LectorEstado::LectorEstado(const std::string& path) : path_(path) {
  f_ = std::fopen(path.c_str(), "rb");
  if (!f_) throw Error::FromErrno(errno, "no se pudo abrir el archivo de estado " + path);
}

LectorEstado::~LectorEstado() {
  if (f_) std::fclose(f_);
}

std::optional<std::string> LectorEstado::LeeLinea() {
  std::string line;
  int c;
  bool any = false;
  while ((c = std::getc(f_)) != EOF) {
    any = true;
    if (c == '\r') {
      int next = std::getc(f_);
      if (next != '\n' && next != EOF) std::ungetc(next, f_);
      return line;
    }
    if (c == '\n') return line;
    line.push_back(static_cast<char>(c));
  }
  if (std::ferror(f_)) throw Error::FromErrno(errno, "no se pudo leer el archivo de estado " + path_);
  if (!any) return std::nullopt;
  return line;
}

EscritorEstado::EscritorEstado(const std::string& path)
    : path_(path), tmp_(path + ".nuevo") {
  PuntoDeEscritura();
  fd_ = ::open(tmp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd_ < 0) throw Error::FromErrno(errno, "no se pudo crear el archivo de estado " + tmp_);
  // A temporary file left by an older writer keeps its mode through O_CREAT: set it.
  if (::fchmod(fd_, 0600) != 0) {
    const int err = errno;
    ::close(fd_);
    fd_ = -1;
    ::unlink(tmp_.c_str());
    throw Error::FromErrno(err, "no se pudo crear el archivo de estado " + tmp_);
  }
}

EscritorEstado::~EscritorEstado() {
  if (fd_ >= 0) {
    ::close(fd_);
    ::unlink(tmp_.c_str());
  }
}

void EscritorEstado::Vacia() {
  size_t done = 0;
  while (done < buffer_.size()) {
    PuntoDeEscritura();
    ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error::FromErrno(errno, "no se pudo escribir el archivo de estado " + path_);
    }
    done += static_cast<size_t>(n);
  }
  buffer_.clear();
}

void EscritorEstado::EscribeLinea(std::string_view line) {
  buffer_.append(line);
  buffer_.append("\r\n");
  if (buffer_.size() >= 1 << 16) Vacia();
}

void EscritorEstado::Confirma() {
  Vacia();
  PuntoDeEscritura();
  if (::fsync(fd_) != 0) throw Error::FromErrno(errno, "no se pudo guardar el archivo de estado " + path_);
  if (::close(fd_) != 0) {
    fd_ = -1;
    ::unlink(tmp_.c_str());
    throw Error::FromErrno(errno, "no se pudo guardar el archivo de estado " + path_);
  }
  fd_ = -1;
  PuntoDeEscritura();
  if (::rename(tmp_.c_str(), path_.c_str()) != 0) {
    int err = errno;
    ::unlink(tmp_.c_str());
    throw Error::FromErrno(err, "no se pudo reemplazar el archivo de estado " + path_);
  }
  // The rename is durable once the directory is synced.
  std::string dir = path_.substr(0, path_.find_last_of('/') == std::string::npos ? 0 : path_.find_last_of('/'));
  if (dir.empty()) dir = ".";
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

}  // namespace tablon
