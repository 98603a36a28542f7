// One pass at a time per servers directory: a lock file in the directory (".tablon.lock", empty,
// created with mode 0600 through the program's file-system seam), held (flock) for as long as
// the object lives. The subscription commands take the same lock, so they never rewrite a state
// file while a pass works on it.
#pragma once

#include <memory>
#include <string>

#include "core/fs.h"

namespace tablon {

class Bloqueo {
 public:
  // Takes the lock of `servers_dir` without waiting. Throws tablon::Error: errnum::kBloqueado
  // when another process holds it, file numbers when the lock file cannot be opened.
  explicit Bloqueo(const std::string& servers_dir);
  ~Bloqueo();
  Bloqueo(const Bloqueo&) = delete;
  Bloqueo& operator=(const Bloqueo&) = delete;

 private:
  std::shared_ptr<Fs> fs_;
  int fd_ = -1;
};

}  // namespace tablon
