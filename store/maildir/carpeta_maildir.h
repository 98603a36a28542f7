// A folder of the Maildir store: a directory holding cur/, new/ and tmp/, whose other real
// subdirectories (named as escape_nombre.h says) are its subfolders. The store root is a folder
// too (the namespace's), though it never holds items of its own.
//
// Items() lists the directories and reads no file: each item is read when first used (a file
// deleted after the listing then raises kObjetoNoEncontrado at that use).
//
// Each folder object keeps an index of its items, base name -> where the file is now
// (cur/ or new/, and the file name with its flags). Items() re-reads the directories (unless
// neither changed since a reading that could see every change before it); a lookup
// by base (an item about to be saved, moved or have its body read) trusts the index while the
// file is still there and re-reads the directories only when it is not, so saving many items
// never rescans a large folder per item.
//
// The index also remembers, per item, the item object last read from or written to its file
// (without keeping it alive) and the file's inode then: for a file this process wrote, the
// inode is learnt at the next lookup or listing, the file found there under that name being
// taken as the one written (asking it of each new file would cost a system call per item).
// Items() gives that very object instead of reading the file again when the object still
// exists, holds no unsaved change, and the listing shows the file under the same name (same
// flags, same cur/ or new/) with the same inode: a file a mail client renamed (a flag set or
// cleared) or replaced is listed as a new object, and a deleted one is left out, as without
// the index. So two listings may hand out the same object; a change made through it is seen by
// every holder, and once it is made (unsaved) the next listing reads the file into a new
// object again.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "store/maildir/contexto.h"
#include "store/store.h"

namespace tablon::store::maildir {

class ItemMaildir;

struct Ubicacion {
  std::string sub;      // "cur" or "new"
  std::string archivo;  // file name with flags
  ino_t ino = 0;        // the file's inode number; 0 when unknown
};

class CarpetaMaildir : public Folder {
 public:
  CarpetaMaildir(std::shared_ptr<Contexto> ctx, std::string ruta, std::string nombre);

  const std::string& Name() const override { return nombre_; }
  std::vector<std::shared_ptr<Folder>> Folders() override;
  std::shared_ptr<Folder> AddFolder(const std::string& name) override;
  std::vector<std::shared_ptr<Item>> Items() override;
  // The persistent index of this folder (store/maildir/indice_maildir.h).
  std::unique_ptr<IndiceCarpeta> Indice() override;

  // Items() one by one, each with its base and its file's name and inode as this listing found
  // them (the views live for that call only).
  struct ItemListado {
    const std::shared_ptr<ItemMaildir>& item;
    std::string_view base;
    std::string_view resto;  // what follows the base in the file's name (":2,FS"), or the whole name
    ino_t ino;
    bool nombre_entero;  // the name does not start with the base
  };
  void RecorreListado(const std::function<void(const ItemListado&)>& cada);
  // How many items the last listing found.
  size_t Cuantos() const { return indice_.size(); }
  std::shared_ptr<Item> Find(std::string_view filter) override;

  // --- for the backend's items ---
  const std::string& Ruta() const { return ruta_; }
  const std::shared_ptr<Contexto>& Ctx() const { return ctx_; }
  std::string RutaDe(const Ubicacion& u) const { return ruta_ + "/" + u.sub + "/" + u.archivo; }

  // Where the item `base` is now; nullopt when it is in neither cur/ nor new/.
  std::optional<Ubicacion> Localiza(const std::string& base);
  // The item's file (whole, or up to its empty line), found afresh if a client renamed it
  // meanwhile; nullopt when it is gone. `u` receives where it was read.
  std::optional<std::string> LeeItem(const std::string& base, bool solo_cabecera, Ubicacion* u);
  // The same into `datos` (its storage reused); false when the item is gone.
  bool LeeItem(const std::string& base, bool solo_cabecera, Ubicacion* u, std::string& datos);
  // Records where the item `base` is now; `item`, when given, is the object whose state is that
  // file's content (it was just read from it or written to it).
  void RegistraItem(const std::string& base, Ubicacion u, std::weak_ptr<ItemMaildir> item = {});
  void Olvida(const std::string& base) { indice_.erase(base); }
  // The object the index holds as matching the file of `base`, or nullptr.
  const ItemMaildir* ObjetoDe(const std::string& base) const;

  // Makes sure cur/, new/ and tmp/ exist, and cleans tmp/ (LimpiaTmp).
  void PreparaEscritura();
  // Once per folder in this opening of the store (the first listing, write or seal check of a
  // pass does it): removes from tmp/ the regular files whose mtime is more than 36 hours old,
  // left by a writer that was killed, ours or another program's (the Maildir convention). Never
  // a younger file (another program may be delivering), a directory, a symbolic link (nor what it
  // points to) or anything else, and nothing outside tmp/. One reading of tmp/ and one lstat
  // per entry; a failure is skipped and told to the failure observer (core/paso.h): a cleanup
  // fails nothing.
  void LimpiaTmp();
  // A fresh path in tmp/ for a new file.
  std::string NuevaRutaTmp();

 private:
  struct Entrada;
  // Lists the folder (ReleeIndice) and hands each item to `cada(item, base, entry)`, in base
  // order: the object that matches its file, else a new listed one.
  template <class F>
  void RecorreItems(F&& cada);
  void ReleeIndice();
  // The folder name of subdirectory `dir`, nullopt when it is no folder of the store.
  std::optional<std::string> NombreDeSubdirectorio(const std::string& dir);

  std::shared_ptr<Contexto> ctx_;
  std::string ruta_;
  std::string nombre_;
  // Where the file of a base is, kept small (a folder may hold many thousand items): in cur/ or
  // new/, and its name as the base and what follows it (":2,FS"), or whole when it does not
  // start with the base. What follows is one of the few texts of `restos_` (the same few flag
  // suffixes recur over a whole folder), so an entry holds a pointer instead of a text.
  struct Entrada {
    const std::string* resto = nullptr;  // into restos_; nullptr: nothing follows
    ino_t ino = 0;
    bool en_new = false;
    bool nombre_entero = false;
    std::uint32_t lectura = 0;        // the directory reading that last found it
    std::weak_ptr<ItemMaildir> item;  // the object that matches the file, if any
  };
  static std::string_view Resto(const Entrada& e) { return e.resto ? std::string_view(*e.resto) : std::string_view(); }
  // `archivo` is the file's whole name, found in new/ when `en_new`, else in cur/.
  void Guarda(Entrada& e, std::string_view base, bool en_new, std::string_view archivo, ino_t ino);
  static Ubicacion UbicacionDe(std::string_view base, const Entrada& e);
  static bool Igual(std::string_view base, const Entrada& e, bool en_new, std::string_view archivo, ino_t ino);
  std::map<std::string, Entrada, std::less<>> indice_;
  // Every text that followed a base in this folder (never dropped while the folder lives: they
  // are few, and entries point into them).
  std::set<std::string, std::less<>> restos_;
  bool indice_leido_ = false;
  std::uint32_t lecturas_ = 0;
  // new/ and cur/ as the last reading found them (existence, inode, ctime).
  struct EstadoDirs {
    bool existe[2] = {false, false};
    ino_t ino[2] = {0, 0};
    timespec ctime[2] = {};
    bool operator==(const EstadoDirs& o) const {
      for (int k = 0; k < 2; ++k) {
        if (existe[k] != o.existe[k] || ino[k] != o.ino[k] || ctime[k].tv_sec != o.ctime[k].tv_sec ||
            ctime[k].tv_nsec != o.ctime[k].tv_nsec) {
          return false;
        }
      }
      return true;
    }
  };
  EstadoDirs estado_;
  bool estado_fiable_ = false;  // estado_ is old enough to stand for the index
  bool preparada_ = false;
  bool tmp_limpio_ = false;  // LimpiaTmp was called on this object
};

// The root of the store as a folder (for the namespace).
std::shared_ptr<CarpetaMaildir> CarpetaRaiz(const std::shared_ptr<Contexto>& ctx);

}  // namespace tablon::store::maildir
