// A folder's persistent index: what a caller needs of each item to start its work (the item's
// class, follow-up flag state and read state, and a key of the caller's own, the article
// identifier) kept by the store between runs, so that a folder whose items did not change is not
// read item by item again. Each backend keeps it its own way, beside the folder and never as an
// item of it (store/maildir/indice_maildir.h keeps a file beside the folder's messages; the IMAP
// backend keeps none between runs, store/imap/carpeta_imap.cc). A backend that keeps none
// answers with SinIndicePersistente below, or an index of its own that reads every item.
//
// The index is a cache and nothing more: an item's record is used only when the backend can
// prove that the item did not change since the record was made; otherwise the item is read.
// A missing, damaged or foreign index, or one of another version, only means more reading.
//
// The seal. Guarda may also seal the folder with a text of the caller's (what the caller knew of
// the folder's items then, e.g. that every article it expects has an item and none waits for
// its text): LeeSello answers that text for as long as the backend can show that the folder
// still holds exactly the items it held when sealed, flags included (how is the backend's own:
// the Maildir one compares file names and inode numbers), so a caller that finds its seal may
// skip the folder's items altogether.
//
// Obtained from Folder::Indice (store.h, whose default gives SinIndicePersistente); used by one
// caller at a time, for one run over the
// folder: LeeSello and/or Lee, then Guarda.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tablon::store {

class Folder;
class Item;

// The caller's key of an item (it may read the item; "" when the item has none). It may raise:
// the item then joins with the empty key and its record is not kept.
using ClaveDeItem = std::function<std::string(const std::shared_ptr<Item>&)>;

struct ItemIndexado {
  std::shared_ptr<Item> item;
  std::string clave;
  // The record came from the index (the item was not read for it).
  bool del_indice = false;
};

class IndiceCarpeta {
 public:
  virtual ~IndiceCarpeta() = default;

  // The folder's items, in Folder::Items order, each with its key: the record's where the index
  // vouches for the item (the item then answers MessageClass, FlagStatus and UnRead without
  // being read), else clave_de(item). With `confia` false no record is used: every item is read
  // (the caller's full reading), and the index is written anew by Guarda all the same.
  // `informe` receives, for the trace, how the index served ("" when it vouched for every item):
  // missing, damaged, or how many items had to be read. Fails as Folder::Items.
  virtual std::vector<ItemIndexado> Lee(const ClaveDeItem& clave_de, bool confia, std::string& informe) = 0;

  // The caller's text of the seal when the folder holds exactly the items it held when sealed;
  // nullopt when it does not, when it has no seal, or when the index cannot be read (damaged,
  // another version: the same as no seal). Reads the index's head and lists the folder, no
  // item. Never raises.
  virtual std::optional<std::string> LeeSello() = 0;

  // Writes the index for the folder as it is now: every item listed now, its key from clave_de
  // (a caller that kept the keys of the objects Lee gave and of those it wrote answers them
  // without reading), its class and flag state from the object (known, for an object of Lee
  // that the index vouched for or one the caller wrote). An item that cannot be
  // read, or that changes while it is read, gets no record. Raises tablon::Error when the index
  // cannot be written; the old index then stays, and it is as safe to use as any (its records
  // vouch only for items that did not change).
  //
  // With `sello`, the index is sealed too: `sello.registro` is told each record as it is made
  // (key, follow-up flag state, class), then `sello.texto()` gives the seal's text ("" leaves
  // the folder unsealed). The seal stands for the items listed before the first record was made:
  // an item changed since then makes LeeSello answer nothing.
  struct Sellado {
    std::function<void(const std::string& clave, int marca, const std::string& clase)> registro;
    std::function<std::string()> texto;
  };
  virtual void Guarda(const ClaveDeItem& clave_de, const Sellado* sello = nullptr) = 0;
};

// The index of a backend that keeps none: Lee reads every item (informe: "sin índice"), LeeSello
// answers nothing, Guarda does nothing.
class SinIndicePersistente : public IndiceCarpeta {
 public:
  explicit SinIndicePersistente(std::shared_ptr<Folder> carpeta) : carpeta_(std::move(carpeta)) {}
  std::vector<ItemIndexado> Lee(const ClaveDeItem& clave_de, bool confia, std::string& informe) override;
  std::optional<std::string> LeeSello() override { return std::nullopt; }
  void Guarda(const ClaveDeItem&, const Sellado*) override {}

 private:
  std::shared_ptr<Folder> carpeta_;
};

}  // namespace tablon::store
