#include "app/bloqueo.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "core/error.h"

namespace tablon {

Bloqueo::Bloqueo(const std::string& servers_dir) {
  std::string path = servers_dir;
  if (!path.empty() && path.back() != '/') path += '/';
  path += ".tablon.lock";
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) throw Error::FromErrno(errno, "no se pudo abrir el archivo de bloqueo " + path);
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    ::close(fd_);
    fd_ = -1;
    if (err == EWOULDBLOCK) {
      throw Error(errnum::kBloqueado, "Ya hay una pasada de Tablón en curso para " + servers_dir +
                                          "; espere a que termine e inténtelo de nuevo");
    }
    throw Error::FromErrno(err, "no se pudo bloquear " + path);
  }
}

Bloqueo::~Bloqueo() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

}  // namespace tablon
