// Reading and writing a server state file, line by line.
//
// The file is text whose lines end in CR LF, readable and writable by its owner only (mode 0600:
// it tells which groups the user reads); a file of another mode gets 0600 when it is next written. The reader takes a line up to its CR and skips the
// LF after it; a bare LF or a bare CR also ends a line, so a file edited by hand with another
// editor still reads. The writer never touches the file it replaces until the new content is
// complete: it writes a temporary file beside it (PATH + ".nuevo"), flushes and syncs it, renames
// it over the old one and syncs the directory. A writer destroyed before Confirma removes its
// temporary file and leaves the old file byte for byte. The temporary name is fixed, not made per
// process: only one writer works in a servers directory at a time (app/bloqueo.h), and a file
// left by a writer that was killed is truncated and reused by the next one instead of piling up.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace tablon {

class LectorEstado {
 public:
  // Opens `path` for reading; throws tablon::Error (file numbers) when it cannot.
  explicit LectorEstado(const std::string& path);
  ~LectorEstado();
  LectorEstado(const LectorEstado&) = delete;
  LectorEstado& operator=(const LectorEstado&) = delete;

  // The next line without its line end; std::nullopt at the end of the file. A read error
  // throws tablon::Error.
  std::optional<std::string> LeeLinea();

 private:
  std::FILE* f_ = nullptr;
  std::string path_;
};

class EscritorEstado {
 public:
  // Creates the temporary file beside `path`; throws tablon::Error when it cannot.
  explicit EscritorEstado(const std::string& path);
  ~EscritorEstado();
  EscritorEstado(const EscritorEstado&) = delete;
  EscritorEstado& operator=(const EscritorEstado&) = delete;

  // Appends `line` and CR LF. Throws tablon::Error when the write fails.
  void EscribeLinea(std::string_view line);
  // Flushes, syncs and renames the new content over `path`. Throws tablon::Error when any of it
  // fails; the old file is then untouched and the temporary file removed.
  void Confirma();

 private:
  int fd_ = -1;
  std::string path_, tmp_;
  std::string buffer_;
  void Vacia();
};

}  // namespace tablon
