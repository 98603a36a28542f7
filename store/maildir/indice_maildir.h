// The persistent index of a Maildir folder (store/indice_carpeta.h): one file, ".tablon-indice",
// in the folder's directory beside cur/, new/ and tmp/ — never inside them, so no mail client
// takes it for a message; a file, not a directory, so neither this store, Dovecot's fs layout
// nor neomutt takes it for a folder.
//
// Why a record can be trusted. A Maildir message never changes its content under its name: a
// client that changes flags renames the file, one that changes the message writes a new file
// under a new unique name (Dovecot relies on this too, and so does this store, item_maildir.h).
// So a record is kept for one file, named by its base, its whole name (flags included) and its
// inode number, and it is used only when the folder's listing finds a file of that base under
// exactly that name and inode. A file renamed (flags set or cleared), replaced, deleted or new
// simply has no usable record and is read. This is stricter than the folder's directory times
// (which would distrust the whole folder whenever the user flags one item, the normal thing
// between two passes), and needs no one-second rule: the listing is made at every run anyway
// (Folder::Items), and names and inodes do not depend on the clock.
//
// The file: LF-ended lines,
//   tablon-indice 2
//   sello <checksum> <files> <fingerprint> <caller's text>    or "sello -": not sealed
//   <base> TAB <rest of the name> TAB <inode> TAB <flag state> TAB <class> TAB <key>
//   fin <records> <checksum>        FNV-1a 64 of the records' lines, in hex
// fields with "%", TAB, CR and LF written as "%XX". The seal's checksum (FNV-1a 64, hex) sums
// the first line and the seal line after it, so that LeeSello reads these two lines alone; the
// files and the fingerprint are the count of the files in cur/ and new/ and the sum of a 64-bit
// hash of each one's directory, name and inode, as a listing made before the records found
// them (order-free: a directory hands its entries out in any order). Anything else (cut, damaged, another version)
// is no index: every item is read. Written as every file of the program is, through a temporary
// ".tablon-indice%nuevo" beside it renamed over it (but a record at a time, never held whole),
// and only when its content changes.
// A record is written only for an item whose read and follow-up state, as read, agree with the
// flags of the name it is recorded under (an item a client renamed while it was read gets none).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "store/indice_carpeta.h"
#include "store/maildir/carpeta_maildir.h"

namespace tablon::store::maildir {

// The index file's name in a folder's directory.
inline constexpr const char* kArchivoIndice = ".tablon-indice";

class IndiceMaildir : public IndiceCarpeta {
 public:
  explicit IndiceMaildir(std::shared_ptr<CarpetaMaildir> carpeta);

  std::vector<ItemIndexado> Lee(const ClaveDeItem& clave_de, bool confia, std::string& informe) override;
  std::optional<std::string> LeeSello() override;
  void Guarda(const ClaveDeItem& clave_de, const Sellado* sello) override;

 private:
  // Reads the whole index file into texto_ and checks it; false, with the reason, when there is
  // none to use. The records are the lines of texto_ from registros_ on.
  bool LeeArchivo(std::string& motivo);

  // The record of a listed item: its key, flag state and class, and (with `linea`) its line of
  // the file; false when it gets none (no inode known, unreadable, flags that disagree with its
  // name).
  static bool Registro(const CarpetaMaildir::ItemListado& l, const ClaveDeItem& clave_de, std::string* linea,
                       std::string& clave, int& marca, std::string& clase);

  std::shared_ptr<CarpetaMaildir> carpeta_;
  std::string texto_;
  size_t registros_ = 0;
  // The file as last read or written: its first two lines, its records' count and checksum (not
  // written again unchanged).
  std::string cabeza_leida_;
  std::uint64_t suma_leida_ = 0;
  size_t cuenta_leida_ = 0;
};

}  // namespace tablon::store::maildir
