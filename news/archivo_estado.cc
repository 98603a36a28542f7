#include "news/archivo_estado.h"

#include <fcntl.h>

#include <cerrno>

#include "core/error.h"
#include "core/traduce.h"

namespace tablon {

LectorEstado::LectorEstado(const std::string& path, std::shared_ptr<Fs> fs)
    : fs_(fs ? std::move(fs) : FsDelPrograma()), path_(path) {
  fd_ = fs_->Open(path, O_RDONLY, 0);
  if (fd_ < 0) throw Error::DeErrno(errno, Formatea(Traduce("no se pudo abrir el archivo de estado %s"), {path}));
}

LectorEstado::~LectorEstado() {
  if (fd_ >= 0) fs_->Close(fd_);
}

int LectorEstado::Siguiente() {
  if (pos_ == buffer_.size()) {
    if (fin_) return -1;
    buffer_.resize(1 << 16);
    ssize_t n;
    do {
      n = fs_->Read(fd_, buffer_.data(), buffer_.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      buffer_.clear();
      throw Error::DeErrno(errno, Formatea(Traduce("no se pudo leer el archivo de estado %s"), {path_}));
    }
    buffer_.resize(static_cast<size_t>(n));
    pos_ = 0;
    if (n == 0) {
      fin_ = true;
      return -1;
    }
  }
  return static_cast<unsigned char>(buffer_[pos_++]);
}

std::optional<std::string> LectorEstado::LeeLinea() {
  std::string line;
  bool any = false;
  for (int c; (c = Siguiente()) >= 0;) {
    any = true;
    if (c == '\r') {
      // A CR LF is one line end; a bare CR ends the line too.
      if (Siguiente() >= 0 && buffer_[pos_ - 1] != '\n') --pos_;
      return line;
    }
    if (c == '\n') return line;
    line.push_back(static_cast<char>(c));
  }
  if (!any) return std::nullopt;
  return line;
}

EscritorEstado::EscritorEstado(const std::string& path, std::shared_ptr<Fs> fs)
    : fs_(fs ? std::move(fs) : FsDelPrograma()), path_(path) {}

void EscritorEstado::EscribeLinea(std::string_view line) {
  contenido_.append(line);
  contenido_.append("\r\n");
}

void EscritorEstado::Confirma() {
  const std::string tmp = path_ + ".nuevo";
  // A temporary file left by a writer that was killed is replaced.
  if (fs_->Unlink(tmp) != 0 && errno != ENOENT) {
    throw Error::DeErrno(errno, Formatea(Traduce("no se pudo crear el archivo de estado %s"), {tmp}));
  }
  try {
    EntregaAtomica(*fs_, tmp, contenido_, path_, /*fsync=*/true);
  } catch (const Error& e) {
    throw Error(e.Number(), Formatea(Traduce("no se pudo guardar el archivo de estado %s (%s)"), {path_, e.Description()}));
  }
  // The rename is durable once the directory is synced.
  const size_t barra = path_.find_last_of('/');
  SincronizaDirectorio(*fs_, barra == std::string::npos ? std::string(".") : path_.substr(0, barra == 0 ? 1 : barra));
}

}  // namespace tablon
