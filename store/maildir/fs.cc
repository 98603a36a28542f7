#include "store/maildir/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/aborto_prueba.h"
#include "core/error.h"
#include "store/maildir/header_text.h"

namespace tablon::store::maildir {

int Fs::Open(const std::string& path, int flags, mode_t mode) {
  if ((flags & (O_WRONLY | O_RDWR | O_CREAT)) != 0) PuntoDeEscritura();
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

ssize_t Fs::Read(int fd, void* buf, size_t n) { return ::read(fd, buf, n); }
ssize_t Fs::Write(int fd, const void* buf, size_t n) {
  PuntoDeEscritura();
  return ::write(fd, buf, n);
}
int Fs::Close(int fd) { return ::close(fd); }
int Fs::Rename(const std::string& from, const std::string& to) {
  PuntoDeEscritura();
  return ::rename(from.c_str(), to.c_str());
}
int Fs::Unlink(const std::string& path) {
  PuntoDeEscritura();
  return ::unlink(path.c_str());
}
int Fs::Mkdir(const std::string& path, mode_t mode) {
  PuntoDeEscritura();
  return ::mkdir(path.c_str(), mode);
}
int Fs::Lstat(const std::string& path, struct stat* st) { return ::lstat(path.c_str(), st); }
int Fs::Stat(const std::string& path, struct stat* st) { return ::stat(path.c_str(), st); }
int Fs::Fstat(int fd, struct stat* st) { return ::fstat(fd, st); }
int Fs::Syncfs(int fd) { return ::syncfs(fd); }
int Fs::Fsync(int fd) { return ::fsync(fd); }

int Fs::ListDir(const std::string& path, std::vector<EntradaDir>* out) {
  int fd = Open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0);
  if (fd < 0) return errno;
  DIR* d = ::fdopendir(fd);
  if (!d) {
    const int e = errno;
    ::close(fd);
    return e;
  }
  std::vector<EntradaDir> r;
  errno = 0;
  while (dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    EntradaDir ent;
    ent.nombre = e->d_name;
    ent.ino = e->d_ino;
    unsigned char tipo = e->d_type;
    if (tipo == DT_UNKNOWN) {
      struct stat st;
      if (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        tipo = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
      }
    }
    ent.es_directorio = tipo == DT_DIR;
    ent.es_archivo = tipo == DT_REG;
    r.push_back(std::move(ent));
    errno = 0;
  }
  const int err = errno;
  ::closedir(d);
  if (err != 0) return err;
  *out = std::move(r);
  return 0;
}

Fs& FsDelSistema() {
  static Fs fs;
  return fs;
}

namespace {

// Reads the file at `path` into `r` to its end, or (when `hasta_linea_vacia`) to its first empty
// line; the bytes go straight into `r`, whose storage is reused.
void LeeDe(Fs& fs, const std::string& path, bool hasta_linea_vacia, std::string& r) {
  const int fd = fs.Open(path, O_RDONLY | O_NOFOLLOW, 0);
  if (fd < 0) throw Error::FromErrno(errno, "no se pudo abrir «" + path + "»");
  r.clear();
  const size_t bloque = hasta_linea_vacia ? 4096 : 65536;
  for (;;) {
    const size_t antes = r.size();
    r.resize(antes + bloque);
    const ssize_t n = fs.Read(fd, r.data() + antes, bloque);
    if (n < 0) {
      r.resize(antes);
      if (errno == EINTR) continue;
      const int e = errno;
      fs.Close(fd);
      throw Error::FromErrno(e, "no se pudo leer «" + path + "»");
    }
    r.resize(antes + static_cast<size_t>(n));
    if (n == 0) break;
    if (hasta_linea_vacia) {
      const size_t fin = FinDeCabecera(r, antes == 0 ? 0 : antes - 1);
      if (fin != std::string::npos) {
        r.resize(fin);
        break;
      }
    }
  }
  fs.Close(fd);
}

}  // namespace

std::string LeeArchivo(Fs& fs, const std::string& path) {
  std::string r;
  LeeDe(fs, path, false, r);
  return r;
}
std::string LeeHastaLineaVacia(Fs& fs, const std::string& path) {
  std::string r;
  LeeDe(fs, path, true, r);
  return r;
}
void LeeHastaLineaVacia(Fs& fs, const std::string& path, std::string& destino) {
  LeeDe(fs, path, true, destino);
}

void CreaDirectorio(Fs& fs, const std::string& path) {
  if (fs.Mkdir(path, 0700) == 0) return;
  const int e = errno;
  if (e == EEXIST) {
    struct stat st;
    if (fs.Lstat(path, &st) == 0 && S_ISDIR(st.st_mode)) return;
    throw Error(errnum::kAccesoARuta,
                "no se pudo crear la carpeta «" + path + "»: ya existe y no es un directorio");
  }
  throw Error::FromErrno(e, "no se pudo crear la carpeta «" + path + "»");
}

void EscribeArchivoNuevo(Fs& fs, const std::string& tmp_path, std::string_view bytes, bool fsync,
                         ino_t* ino) {
  const int fd = fs.Open(tmp_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
  if (fd < 0) throw Error::FromErrno(errno, "no se pudo crear «" + tmp_path + "»");
  size_t hecho = 0;
  int err = 0;
  while (hecho < bytes.size()) {
    const ssize_t n = fs.Write(fd, bytes.data() + hecho, bytes.size() - hecho);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    if (n == 0) {  // a write that makes no progress: treat as a full disk
      err = ENOSPC;
      break;
    }
    hecho += static_cast<size_t>(n);
  }
  if (err == 0 && fsync && fs.Fsync(fd) != 0) err = errno;
  if (ino) {
    struct stat st;
    *ino = err == 0 && fs.Fstat(fd, &st) == 0 ? st.st_ino : 0;
  }
  // close(2) can report a deferred write error (NFS, some FUSE file systems).
  if (fs.Close(fd) != 0 && err == 0) err = errno;
  if (err != 0) {
    fs.Unlink(tmp_path);
    throw Error::FromErrno(err, "no se pudo escribir «" + tmp_path + "»");
  }
}

void Renombra(Fs& fs, const std::string& from, const std::string& to) {
  if (fs.Rename(from, to) != 0) {
    throw Error::FromErrno(errno, "no se pudo renombrar «" + from + "» a «" + to + "»");
  }
}

void EntregaAtomica(Fs& fs, const std::string& tmp_path, std::string_view bytes,
                    const std::string& dest, bool fsync, ino_t* ino) {
  EscribeArchivoNuevo(fs, tmp_path, bytes, fsync, ino);
  if (fs.Rename(tmp_path, dest) != 0) {
    const int e = errno;
    fs.Unlink(tmp_path);
    throw Error::FromErrno(e, "no se pudo guardar «" + dest + "»");
  }
}

}  // namespace tablon::store::maildir
