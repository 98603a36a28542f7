// What every object of one open Maildir store shares: the root directory, the file-system layer
// and the makers of unique names. Folders and items hold it by shared reference; it holds
// nothing back (no cycles).
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/fs.h"
#include "store/maildir/fs_contado.h"

namespace tablon::store::maildir {

class ItemMaildir;

// When an item's file is forced to disk.
enum class Durabilidad {
  PorSync,      // by Application::Sync (syncfs), not per file (the default)
  PorElemento,  // every file fsync'd before it is renamed into place (to compare, or by choice)
};

class Contexto {
 public:
  Contexto(std::string raiz, std::shared_ptr<Fs> fs, Durabilidad durabilidad = Durabilidad::PorSync);

  const std::string& Raiz() const { return raiz_; }
  // The store's file-system layer: the one given, its changing calls counted.
  Fs& fs() const { return *fs_; }
  // The changing calls the store made through fs() so far.
  std::uint64_t Cambios() const { return fs_->Cambios(); }

  // A new file base name, unique in this store, sorting after every base made before by this
  // process (see nombre_archivo.h).
  std::string NuevaBase();
  // A new Message-ID, "<...@tablon.invalid>", unique across processes and hosts.
  std::string NuevoMessageId();

  // Items whose content changed were given a new base (item_maildir.h); an object that still names
  // the old one (the same item listed into another object before) follows it here.
  void RegistraReemplazo(const std::string& vieja, const std::string& nueva) { reemplazos_[vieja] = nueva; }
  // The base that replaced `base`, or nullptr.
  const std::string* Reemplazo(const std::string& base) const {
    const auto it = reemplazos_.find(base);
    return it == reemplazos_.end() ? nullptr : &it->second;
  }

  // Whether each new file is fsync'd before its rename (Durabilidad::PorElemento).
  bool FsyncPorArchivo() const { return durabilidad_ == Durabilidad::PorElemento; }

  // Drafts kept in memory (Application::BorradoresEnMemoria; item_maildir.h says how).
  bool BorradoresEnMemoria() const { return borradores_en_memoria_; }
  void BorradoresEnMemoria(bool on) { borradores_en_memoria_ = on; }
  // The drafts folder's directory once known; empty before.
  const std::string& RutaBorradores() const { return ruta_borradores_; }
  void RutaBorradores(std::string ruta) { ruta_borradores_ = std::move(ruta); }
  // The drafts not yet written. An item registers itself while it is one; the registry holds
  // no reference (an item writes itself out before it goes).
  void RegistraPendiente(ItemMaildir* item) { pendientes_.push_back(item); }
  void OlvidaPendiente(ItemMaildir* item);
  bool HayPendientes() const { return !pendientes_.empty(); }
  // Writes every pending draft into the drafts folder; the first failure is thrown (the drafts
  // not yet written stay pending).
  void EscribePendientes();

  // True the first time it is asked for the folder at `ruta` in this opening of the store (one
  // pass): a folder's tmp/ is cleaned once per pass (CarpetaMaildir::LimpiaTmp).
  bool PrimeraLimpiezaTmp(const std::string& ruta) { return tmp_limpios_.insert(ruta).second; }

 private:
  std::string raiz_;
  std::shared_ptr<FsContado> fs_;
  std::string host_;
  std::uint32_t contador_ = 0;
  std::int64_t ultimo_us_ = 0;
  std::mt19937_64 azar_;
  Durabilidad durabilidad_;
  bool borradores_en_memoria_ = false;
  std::string ruta_borradores_;
  std::vector<ItemMaildir*> pendientes_;
  std::unordered_map<std::string, std::string> reemplazos_;
  std::unordered_set<std::string> tmp_limpios_;
};

}  // namespace tablon::store::maildir
