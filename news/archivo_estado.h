// Reading and writing a server state file, line by line, through the program's file-system seam
// (core/fs.h).
//
// The file is text whose lines end in CR LF, readable and writable by its owner only (mode 0600:
// it tells which groups the user reads); a file of another mode gets 0600 when it is next
// written. The reader takes a line up to its CR and skips the LF after it; a bare LF or a bare
// CR also ends a line, so a file edited by hand with another editor still reads. The writer
// never touches the file it replaces until the new content is complete: it gathers the lines,
// then writes them as every file of the program is written (core/fs.h, EntregaAtomica: a
// temporary file beside it, PATH + ".nuevo", synced and renamed over the old one), and syncs the
// directory. A writer destroyed before Confirma leaves the old file byte for byte. The temporary
// name is fixed, not made per process: only one writer works in a servers directory at a time
// (app/bloqueo.h), and a file left by a writer that was killed is removed by the next one
// instead of piling up.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/fs.h"

namespace tablon {

class LectorEstado {
 public:
  // Opens `path` for reading through `fs` (FsDelPrograma() when null); throws tablon::Error
  // (file numbers) when it cannot.
  explicit LectorEstado(const std::string& path, std::shared_ptr<Fs> fs = nullptr);
  ~LectorEstado();
  LectorEstado(const LectorEstado&) = delete;
  LectorEstado& operator=(const LectorEstado&) = delete;

  // The next line without its line end; std::nullopt at the end of the file. A read error
  // throws tablon::Error.
  std::optional<std::string> LeeLinea();

 private:
  // The next byte, or -1 at the end of the file.
  int Siguiente();
  std::shared_ptr<Fs> fs_;
  std::string path_;
  int fd_ = -1;
  std::string buffer_;
  size_t pos_ = 0;
  bool fin_ = false;
};

class EscritorEstado {
 public:
  // A writer of the file `path` through `fs` (FsDelPrograma() when null). Nothing is written
  // before Confirma.
  explicit EscritorEstado(const std::string& path, std::shared_ptr<Fs> fs = nullptr);
  EscritorEstado(const EscritorEstado&) = delete;
  EscritorEstado& operator=(const EscritorEstado&) = delete;

  // Appends `line` and CR LF.
  void EscribeLinea(std::string_view line);
  // Writes the lines over `path` as one atomic replace (mode 0600) and syncs the directory.
  // Throws tablon::Error when any of it fails; the old file is then untouched and no temporary
  // file is left.
  void Confirma();

 private:
  std::shared_ptr<Fs> fs_;
  std::string path_;
  std::string contenido_;
};

}  // namespace tablon
