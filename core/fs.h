// The program's file-system seam. Every file the program reads or writes — the store's items and
// folders, the servers' state files, the pass lock — goes through one `Fs` object, so that a
// test can make any call fail (ENOSPC on write, EIO on close or syncfs) or end the process in
// the middle of a pass, the way LevelDB's Env/ErrorEnv does. Nothing else in the program calls
// the system for a file.
//
// `Fs` members are thin wrappers: same arguments, same results, same errno as the system calls
// they are named after. A test derives from `Fs`, overrides the calls it wants to change and
// calls the base for the rest. The free functions below build the program's few file operations
// on top of an `Fs` and throw tablon::Error (Spanish description naming the path, number from
// errno).
//
// The program's own `Fs` is FsDelPrograma(): the system's calls, unless a test's build of the
// program installed another before calling the entry point (app/programa.h). An `Fs` keeps a few
// directories open (below) and is used by one thread at a time: the program's file work runs in
// its main thread. Settings the kernel publishes as files (/proc, /sys) are read directly.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tablon {

struct EntradaDir {
  std::string nombre;
  bool es_directorio = false;  // a real directory (never a symbolic link to one)
  bool es_archivo = false;     // a regular file (never a symbolic link to one)
  ino_t ino = 0;               // the entry's inode number (readdir's d_ino)
};

class Fs {
 public:
  Fs() = default;
  Fs(const Fs&) = delete;
  Fs& operator=(const Fs&) = delete;
  virtual ~Fs();
  virtual int Open(const std::string& path, int flags, mode_t mode);
  virtual ssize_t Read(int fd, void* buf, size_t n);
  virtual ssize_t Write(int fd, const void* buf, size_t n);
  virtual int Close(int fd);
  virtual int Rename(const std::string& from, const std::string& to);
  // renameat2(2) with RENAME_EXCHANGE: the two existing names swap their files atomically.
  // EINVAL (or ENOSYS) where the file system cannot do it.
  virtual int RenameExchange(const std::string& a, const std::string& b);
  virtual int Unlink(const std::string& path);
  virtual int Link(const std::string& from, const std::string& to);
  virtual int Mkdir(const std::string& path, mode_t mode);
  virtual int Lstat(const std::string& path, struct stat* st);
  virtual int Stat(const std::string& path, struct stat* st);
  virtual int Fstat(int fd, struct stat* st);
  virtual int Syncfs(int fd);
  virtual int Fsync(int fd);
  virtual int Flock(int fd, int operation);
  // Hands each entry of a directory to `cada`, "." and ".." left out, in the directory's order,
  // without gathering them (a folder may hold many thousand files); the entry lives for that
  // call only. 0, or an errno value: a failure part way comes after some entries were handed out.
  virtual int RecorreDir(const std::string& path, const std::function<void(const EntradaDir&)>& cada);
  // The entries gathered: 0, or an errno value (out untouched).
  int ListaDir(const std::string& path, std::vector<EntradaDir>* out);

 private:
  // The directories of the last files opened or renamed stay open, and a file is reached from
  // its directory instead of by walking its whole path again (a store's folders lie deep). A
  // directory that went away or was replaced meanwhile is noticed by the call failing with
  // ENOENT: the call is then made again by path, with the directory forgotten. Syncfs forgets
  // them all, so that none is kept for long.
  int DirAbierto(std::string_view dir);
  void OlvidaDir(int fd);
  void OlvidaDirs();
  struct Dir {
    std::string ruta;
    int fd = -1;
    unsigned long long uso = 0;
  };
  Dir dirs_[8];
  unsigned long long usos_ = 0;
};

// The system's own calls; lives as long as the program.
Fs& FsDelSistema();
// The same as a shared reference (never deleted), for objects that keep the Fs they use.
std::shared_ptr<Fs> FsCompartidoDelSistema();

// The Fs the program's work goes through: FsDelSistema() unless FijaFsDelPrograma gave
// another. Set once, at the start, before any file is touched (a test's crash injection).
const std::shared_ptr<Fs>& FsDelPrograma();
void FijaFsDelPrograma(std::shared_ptr<Fs> fs);

// The whole content of the regular file at `path` (`flags` added to O_RDONLY: O_NOFOLLOW by
// default). Fails with the file's errno.
std::string LeeArchivo(Fs& fs, const std::string& path, int flags = O_NOFOLLOW);
// Reads the file into `destino` (its storage reused: many files read one after another) up to
// where `fin` finds the end of what is wanted: `fin(leido, desde)` answers the length to keep,
// or npos to go on reading (`desde`: where new bytes may change its answer). Reads in small
// blocks, so a large file's rest is never read. The whole file when it never answers.
using FinDeLectura = size_t (*)(std::string_view leido, size_t desde);
void LeeArchivoHasta(Fs& fs, const std::string& path, FinDeLectura fin, std::string& destino);

// Whether something is at `path` / a directory is there (a symbolic link to one counts). A path
// that cannot be examined answers false.
bool Existe(Fs& fs, const std::string& path);
bool EsDirectorio(Fs& fs, const std::string& path);

// Creates the directory `path` (mode 0700). An existing real directory is fine; anything else
// at that path (a file, a symbolic link) is refused.
void CreaDirectorio(Fs& fs, const std::string& path);
// mkdir -p: `path` and its missing parents, each with `mode` (the umask applies). The path may
// be (or lie under) a symbolic link the user made: it is followed. Anything but a directory at
// `path` is refused (errnum::kAccesoARuta); `que` names the path in the messages, in the user's
// language (Traduce("el almacén")).
void CreaRuta(Fs& fs, const std::string& path, mode_t mode, const std::string& que);
// Makes the renames and new names in the directory `path` durable (fsync of the directory).
// Best effort: a failure is not reported (the files themselves are already synced).
void SincronizaDirectorio(Fs& fs, const std::string& path);

// Writes `bytes` into the new file `tmp_path` (O_CREAT|O_EXCL|O_NOFOLLOW, mode 0600), completely,
// and closes it. On any failure the file is removed and the error thrown. No fsync unless
// `fsync` (durability is Application::Sync's business by default). With `ino`, the new file's
// inode number goes there (0 when it could not be learnt).
void EscribeArchivoNuevo(Fs& fs, const std::string& tmp_path, std::string_view bytes,
                         bool fsync = false, ino_t* ino = nullptr);
// The same, the bytes written piece by piece by `produce` through the writer it is given (see
// EntregaAtomica below).
using EscritorArchivo = std::function<bool(std::string_view bytes)>;
void EscribeArchivoNuevo(Fs& fs, const std::string& tmp_path,
                         const std::function<void(const EscritorArchivo&)>& produce,
                         bool fsync = false, ino_t* ino = nullptr);

// rename(2), thrown as an Error naming both paths.
void Renombra(Fs& fs, const std::string& from, const std::string& to);

// The atomic replace, the one way every file of the program is written: `bytes` to the new
// file `tmp_path` (as EscribeArchivoNuevo: fsync'd before the rename when `fsync`), then renamed
// to `dest`, replacing what is there in one step: a reader, or a process killed at any point,
// sees the old file or the new one, never a part. On failure nothing is left at `tmp_path` and
// `dest` is as it was. `ino` as for EscribeArchivoNuevo (a rename keeps the inode).
void EntregaAtomica(Fs& fs, const std::string& tmp_path, std::string_view bytes,
                    const std::string& dest, bool fsync = false, ino_t* ino = nullptr);

// The same for a file too large to hold whole: `produce` writes its bytes piece by piece through
// the writer it is given, which answers false once a write failed (the rest is then not written,
// and `produce` may stop early). Any failure (the open, a write, the close, the rename) is thrown
// after `produce` returns, with the same texts and the same cleanup as above; an exception out of
// `produce` removes the new file and goes on to the caller.
void EntregaAtomica(Fs& fs, const std::string& tmp_path,
                    const std::function<void(const EscritorArchivo&)>& produce, const std::string& dest,
                    bool fsync = false, ino_t* ino = nullptr);

}  // namespace tablon
