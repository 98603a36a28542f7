// What every object of one open Maildir store shares: the root directory, the file-system layer
// and the makers of unique names. Folders and items hold it by shared reference; it holds
// nothing back (no cycles).
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <string>

#include "store/maildir/fs.h"

namespace tablon::store::maildir {

class Contexto {
 public:
  Contexto(std::string raiz, std::shared_ptr<Fs> fs);

  const std::string& Raiz() const { return raiz_; }
  Fs& fs() const { return *fs_; }

  // A new file base name, unique in this store, sorting after every base made before by this
  // process (see filename.h).
  std::string NuevaBase();
  // A new Message-ID, "<...@tablon.invalid>", unique across processes and hosts.
  std::string NuevoMessageId();

 private:
  std::string raiz_;
  std::shared_ptr<Fs> fs_;
  std::string host_;
  std::uint32_t contador_ = 0;
  std::int64_t ultimo_us_ = 0;
  std::mt19937_64 azar_;
};

}  // namespace tablon::store::maildir
