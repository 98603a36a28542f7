// The file-system layer of the Maildir backend. Every system call the backend makes goes through
// one `Fs` object, so that a test can make any of them fail (ENOSPC on write, EIO on close or
// syncfs) the way LevelDB's Env/ErrorEnv does; the rest of the backend never calls the system
// directly.
//
// `Fs` members are thin wrappers: same arguments, same results, same errno as the system calls
// they are named after. The free functions below build the backend's few file operations on top
// of an `Fs` and throw tablon::Error (Spanish description naming the path, number from errno).
//
// Paths never follow a symbolic link below the store root: files are opened with O_NOFOLLOW and
// directories are checked with lstat before they are entered.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tablon::store::maildir {

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
  virtual int Mkdir(const std::string& path, mode_t mode);
  virtual int Lstat(const std::string& path, struct stat* st);
  virtual int Stat(const std::string& path, struct stat* st);
  virtual int Fstat(int fd, struct stat* st);
  virtual int Syncfs(int fd);
  virtual int Fsync(int fd);
  // Hands each entry of a directory to `cada`, "." and ".." left out, in the directory's order,
  // without gathering them (a folder may hold many thousand files); the entry lives for that
  // call only. 0, or an errno value: a failure part way comes after some entries were handed out.
  virtual int RecorreDir(const std::string& path, const std::function<void(const EntradaDir&)>& cada);
  // The entries gathered: 0, or an errno value (out untouched).
  int ListDir(const std::string& path, std::vector<EntradaDir>* out);

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

// The whole content of the regular file at `path` (O_NOFOLLOW).
std::string LeeArchivo(Fs& fs, const std::string& path);
// The file's bytes up to and including its first empty line (the header block of a mail), or
// the whole file when it has none. Reads in small blocks: the body is never read.
std::string LeeHastaLineaVacia(Fs& fs, const std::string& path);
// The same into `destino` (its storage reused: many files read one after another).
void LeeHastaLineaVacia(Fs& fs, const std::string& path, std::string& destino);

// Creates the directory `path` (mode 0700). An existing real directory is fine; anything else
// at that path (a file, a symbolic link) is refused.
void CreaDirectorio(Fs& fs, const std::string& path);

// Writes `bytes` into the new file `tmp_path` (O_CREAT|O_EXCL|O_NOFOLLOW, mode 0600), completely,
// and closes it. On any failure the file is removed and the error thrown. No fsync unless
// `fsync` (durability is Application::Sync's business by default). With `ino`, the new file's
// inode number goes there (0 when it could not be learnt).
void EscribeArchivoNuevo(Fs& fs, const std::string& tmp_path, std::string_view bytes,
                         bool fsync = false, ino_t* ino = nullptr);

// rename(2), thrown as an Error naming both paths.
void Renombra(Fs& fs, const std::string& from, const std::string& to);

// Writes `bytes` to `tmp_path` and renames it to `dest` (replacing what is there atomically).
// On failure nothing is left at `tmp_path` and `dest` is as it was. `ino` as for
// EscribeArchivoNuevo (a rename keeps the inode).
void EntregaAtomica(Fs& fs, const std::string& tmp_path, std::string_view bytes,
                    const std::string& dest, bool fsync = false, ino_t* ino = nullptr);

}  // namespace tablon::store::maildir
