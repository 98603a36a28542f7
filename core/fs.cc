#include "core/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/error.h"
#include "core/traduce.h"

namespace tablon {

namespace {
// `path` as its directory and its last component; an empty directory when there is no '/'
// (or only the root's).
std::pair<std::string_view, const char*> Partes(const std::string& path) {
  const size_t barra = path.rfind('/');
  if (barra == std::string::npos || barra == 0 || barra + 1 == path.size()) return {{}, nullptr};
  return {std::string_view(path).substr(0, barra), path.c_str() + barra + 1};
}
}  // namespace

Fs::~Fs() { OlvidaDirs(); }

int Fs::DirAbierto(std::string_view dir) {
  Dir* libre = &dirs_[0];
  for (Dir& d : dirs_) {
    if (d.fd >= 0 && d.ruta == dir) {
      d.uso = ++usos_;
      return d.fd;
    }
    if (d.uso < libre->uso) libre = &d;
  }
  const std::string ruta(dir);
  int fd;
  do {
    fd = ::open(ruta.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  if (libre->fd >= 0) ::close(libre->fd);
  libre->ruta = ruta;
  libre->fd = fd;
  libre->uso = ++usos_;
  return fd;
}

void Fs::OlvidaDir(int fd) {
  for (Dir& d : dirs_) {
    if (d.fd == fd) {
      ::close(d.fd);
      d = Dir{};
    }
  }
}

void Fs::OlvidaDirs() {
  for (Dir& d : dirs_) {
    if (d.fd >= 0) ::close(d.fd);
    d = Dir{};
  }
}

int Fs::Open(const std::string& path, int flags, mode_t mode) {
  int fd;
  const auto [dir, nombre] = Partes(path);
  if (const int dfd = nombre ? DirAbierto(dir) : -1; dfd >= 0) {
    do {
      fd = ::openat(dfd, nombre, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 || errno != ENOENT) return fd;
    OlvidaDir(dfd);  // perhaps a directory that is gone: by path, as if never opened
  }
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

ssize_t Fs::Read(int fd, void* buf, size_t n) { return ::read(fd, buf, n); }
ssize_t Fs::Write(int fd, const void* buf, size_t n) {
  return ::write(fd, buf, n);
}
int Fs::Close(int fd) { return ::close(fd); }
int Fs::Rename(const std::string& from, const std::string& to) {
  const auto [dir_de, nombre_de] = Partes(from);
  const auto [dir_a, nombre_a] = Partes(to);
  if (nombre_de && nombre_a) {
    const int dfd_de = DirAbierto(dir_de);
    const int dfd_a = dfd_de >= 0 ? DirAbierto(dir_a) : -1;
    // Both still open (the second opening cannot have closed the first: it is the most recent).
    if (dfd_de >= 0 && dfd_a >= 0) {
      if (::renameat(dfd_de, nombre_de, dfd_a, nombre_a) == 0) return 0;
      if (errno != ENOENT) return -1;
      OlvidaDir(dfd_de);
      OlvidaDir(dfd_a);
    }
  }
  return ::rename(from.c_str(), to.c_str());
}
int Fs::RenameExchange(const std::string& a, const std::string& b) {
  return ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
}
int Fs::Unlink(const std::string& path) {
  return ::unlink(path.c_str());
}
int Fs::Link(const std::string& from, const std::string& to) { return ::link(from.c_str(), to.c_str()); }
int Fs::Mkdir(const std::string& path, mode_t mode) {
  return ::mkdir(path.c_str(), mode);
}
int Fs::Lstat(const std::string& path, struct stat* st) { return ::lstat(path.c_str(), st); }
int Fs::Stat(const std::string& path, struct stat* st) { return ::stat(path.c_str(), st); }
int Fs::Fstat(int fd, struct stat* st) { return ::fstat(fd, st); }
int Fs::Syncfs(int fd) {
  OlvidaDirs();
  return ::syncfs(fd);
}
int Fs::Fsync(int fd) { return ::fsync(fd); }
int Fs::Flock(int fd, int operation) { return ::flock(fd, operation); }

int Fs::RecorreDir(const std::string& path, const std::function<void(const EntradaDir&)>& cada) {
  int fd = Open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0);
  if (fd < 0) return errno;
  DIR* d = ::fdopendir(fd);
  if (!d) {
    const int e = errno;
    ::close(fd);
    return e;
  }
  // Closed however the walk ends (`cada` may throw).
  const std::unique_ptr<DIR, int (*)(DIR*)> cierre(d, ::closedir);
  EntradaDir ent;  // its name's storage serves every entry
  errno = 0;
  while (dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    ent.nombre.assign(e->d_name);
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
    cada(ent);
    errno = 0;
  }
  return errno;
}

int Fs::ListaDir(const std::string& path, std::vector<EntradaDir>* out) {
  std::vector<EntradaDir> r;
  const int err = RecorreDir(path, [&r](const EntradaDir& ent) { r.push_back(ent); });
  if (err != 0) return err;
  *out = std::move(r);
  return 0;
}

Fs& FsDelSistema() {
  static Fs fs;
  return fs;
}

std::shared_ptr<Fs> FsCompartidoDelSistema() {
  static const std::shared_ptr<Fs> fs(&FsDelSistema(), [](Fs*) {});
  return fs;
}

namespace {
std::shared_ptr<Fs>& FsFijado() {
  static std::shared_ptr<Fs> fs = FsCompartidoDelSistema();
  return fs;
}
}  // namespace

const std::shared_ptr<Fs>& FsDelPrograma() { return FsFijado(); }
void FijaFsDelPrograma(std::shared_ptr<Fs> fs) { FsFijado() = std::move(fs); }

namespace {

// Reads the file at `path` into `r` to its end, or up to where `fin` finds its end; the bytes
// go straight into `r`, whose storage is reused.
void LeeDe(Fs& fs, const std::string& path, int flags, FinDeLectura fin, std::string& r) {
  const int fd = fs.Open(path, O_RDONLY | flags, 0);
  if (fd < 0) throw Error::DeErrno(errno, Formatea(Traduce("no se pudo abrir «%s»"), {path}));
  r.clear();
  // Read through one buffer of this thread: growing `r` by a whole block before each read would
  // clear bytes that the read then overwrites.
  thread_local std::unique_ptr<char[]> buf = std::make_unique_for_overwrite<char[]>(65536);
  const size_t bloque = fin ? 4096 : 65536;
  for (;;) {
    const size_t antes = r.size();
    const ssize_t n = fs.Read(fd, buf.get(), bloque);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int e = errno;
      fs.Close(fd);
      throw Error::DeErrno(e, Formatea(Traduce("no se pudo leer «%s»"), {path}));
    }
    if (n == 0) break;
    r.append(buf.get(), static_cast<size_t>(n));
    if (fin) {
      const size_t hasta = fin(r, antes == 0 ? 0 : antes - 1);
      if (hasta != std::string::npos) {
        r.resize(hasta);
        break;
      }
    }
  }
  fs.Close(fd);
}

}  // namespace

std::string LeeArchivo(Fs& fs, const std::string& path, int flags) {
  std::string r;
  LeeDe(fs, path, flags, nullptr, r);
  return r;
}

void LeeArchivoHasta(Fs& fs, const std::string& path, FinDeLectura fin, std::string& destino) {
  LeeDe(fs, path, O_NOFOLLOW, fin, destino);
}

void CreaDirectorio(Fs& fs, const std::string& path) {
  if (fs.Mkdir(path, 0700) == 0) return;
  const int e = errno;
  if (e == EEXIST) {
    struct stat st;
    if (fs.Lstat(path, &st) == 0 && S_ISDIR(st.st_mode)) return;
    throw Error(errnum::kAccesoARuta,
                Formatea(Traduce("no se pudo crear la carpeta «%s»: ya existe y no es un directorio"), {path}));
  }
  throw Error::DeErrno(e, Formatea(Traduce("no se pudo crear la carpeta «%s»"), {path}));
}

void EscribeArchivoNuevo(Fs& fs, const std::string& tmp_path,
                         const std::function<void(const EscritorArchivo&)>& produce,
                         bool fsync, ino_t* ino) {
  const int fd = fs.Open(tmp_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) throw Error::DeErrno(errno, Formatea(Traduce("no se pudo crear «%s»"), {tmp_path}));
  int err = 0;
  const auto escribe = [&](std::string_view bytes) {
    while (err == 0 && !bytes.empty()) {
      const ssize_t n = fs.Write(fd, bytes.data(), bytes.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        err = errno;
      } else if (n == 0) {  // a write that makes no progress: treat as a full disk
        err = ENOSPC;
      } else {
        bytes.remove_prefix(static_cast<size_t>(n));
      }
    }
    return err == 0;
  };
  try {
    produce(escribe);
  } catch (...) {
    fs.Close(fd);
    fs.Unlink(tmp_path);
    throw;
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
    throw Error::DeErrno(err, Formatea(Traduce("no se pudo escribir «%s»"), {tmp_path}));
  }
}

void EscribeArchivoNuevo(Fs& fs, const std::string& tmp_path, std::string_view bytes, bool fsync,
                         ino_t* ino) {
  EscribeArchivoNuevo(fs, tmp_path, [&](const EscritorArchivo& escribe) { escribe(bytes); }, fsync, ino);
}

bool Existe(Fs& fs, const std::string& path) {
  struct stat st;
  return fs.Stat(path, &st) == 0;
}

bool EsDirectorio(Fs& fs, const std::string& path) {
  struct stat st;
  return fs.Stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

void CreaRuta(Fs& fs, const std::string& path, mode_t mode, const std::string& que) {
  struct stat st;
  if (fs.Stat(path, &st) != 0) {
    for (size_t p = path.find('/', 1);; p = path.find('/', p + 1)) {
      const std::string parte = path.substr(0, p);
      if (!parte.empty() && fs.Mkdir(parte, mode) != 0 && errno != EEXIST) {
        throw Error::DeErrno(errno, Formatea(Traduce("no se pudo crear %s «%s»"), {que, parte}));
      }
      if (p == std::string::npos) break;
    }
    if (fs.Stat(path, &st) != 0) {
      throw Error::DeErrno(errno, Formatea(Traduce("no se pudo abrir %s «%s»"), {que, path}));
    }
  }
  if (!S_ISDIR(st.st_mode)) {
    throw Error(errnum::kAccesoARuta, Formatea(Traduce("%s «%s» no es un directorio"), {que, path}));
  }
}

void SincronizaDirectorio(Fs& fs, const std::string& path) {
  const int fd = fs.Open(path.empty() ? "." : path, O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) return;
  fs.Fsync(fd);
  fs.Close(fd);
}

void Renombra(Fs& fs, const std::string& from, const std::string& to) {
  if (fs.Rename(from, to) != 0) {
    throw Error::DeErrno(errno, Formatea(Traduce("no se pudo renombrar «%s» a «%s»"), {from, to}));
  }
}

void EntregaAtomica(Fs& fs, const std::string& tmp_path, std::string_view bytes,
                    const std::string& dest, bool fsync, ino_t* ino) {
  EntregaAtomica(fs, tmp_path, [&](const EscritorArchivo& escribe) { escribe(bytes); }, dest, fsync, ino);
}

void EntregaAtomica(Fs& fs, const std::string& tmp_path,
                    const std::function<void(const EscritorArchivo&)>& produce, const std::string& dest,
                    bool fsync, ino_t* ino) {
  EscribeArchivoNuevo(fs, tmp_path, produce, fsync, ino);
  if (fs.Rename(tmp_path, dest) != 0) {
    const int e = errno;
    fs.Unlink(tmp_path);
    throw Error::DeErrno(e, Formatea(Traduce("no se pudo guardar «%s»"), {dest}));
  }
}

}  // namespace tablon
