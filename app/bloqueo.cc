#include "app/bloqueo.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "app/traduce.h"
#include "core/error.h"

namespace tablon {

Bloqueo::Bloqueo(const std::string& servers_dir) : fs_(FsDelPrograma()) {
  std::string path = servers_dir;
  if (!path.empty() && path.back() != '/') path += '/';
  path += ".tablon.lock";
  fd_ = fs_->Open(path, O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
  if (fd_ < 0) throw Error::DeErrno(errno, Formatea(Traduce("no se pudo abrir el archivo de bloqueo %s"), {path}));
  if (fs_->Flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    fs_->Close(fd_);
    fd_ = -1;
    if (err == EWOULDBLOCK) {
      throw Error(errnum::kBloqueado, Formatea(Traduce("Ya hay una pasada de Tablón en curso para %s; espere a "
                                                       "que termine e inténtelo de nuevo"), {servers_dir}));
    }
    throw Error::DeErrno(err, Formatea(Traduce("no se pudo bloquear %s"), {path}));
  }
}

Bloqueo::~Bloqueo() {
  if (fd_ >= 0) fs_->Close(fd_);  // closing releases the lock
}

}  // namespace tablon
