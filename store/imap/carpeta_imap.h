// A folder of the IMAP store: one mailbox below the store's prefix, named part by part as
// nombre_buzon.h says; its subfolders are the mailboxes one level below it whose names are
// canonical encodings. The namespace's folder is the prefix itself (or the account's root), which
// never holds items of its own.
//
// Items() is one round of requests: SELECT (when another mailbox is selected) and one
// UID FETCH 1:* (UID FLAGS BODY.PEEK[HEADER.FIELDS (…)]) of the headers the item format writes;
// bodies are fetched only for the items whose Body is asked for. A folder object listed before
// keeps its items (without holding them) by UID: its next listing asks for the flags of every
// message and the headers only of the messages none of those objects stands for unchanged (a
// pass lists a group's folder twice). Two messages of one item (the
// same store-made Message-ID: a pass stopped between the APPEND of a changed item and the
// EXPUNGE of its old message) are made one there: the newest message is kept, given the union
// of both messages' flags but for the read state (the newest message's, as the pass that wrote
// it chose: a downloaded text comes unread), and the older one is expunged.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "store/imap/contexto_imap.h"
#include "store/store.h"

namespace tablon::store::imap {

class ItemImap;

class CarpetaImap : public Folder {
 public:
  // The folder at `ruta` (folder names from the namespace down; empty for the namespace's).
  CarpetaImap(std::shared_ptr<ContextoImap> ctx, std::vector<std::string> ruta);

  const std::string& Name() const override { return nombre_; }
  std::vector<std::shared_ptr<Folder>> Folders() override;
  std::shared_ptr<Folder> AddFolder(const std::string& name) override;
  std::vector<std::shared_ptr<Item>> Items() override;
  // Items() that hands each item made from a header just fetched to `cada_nuevo` as it comes
  // (before the listing ends: the item is whole, and `cada_nuevo` may let its fields go); items
  // a listing before stood for are not handed. `cada_nuevo` must not use the session.
  std::vector<std::shared_ptr<Item>> Lista(const std::function<void(const std::shared_ptr<ItemImap>&)>& cada_nuevo);
  // Forgets the objects of the last listing: the next one fetches every header again.
  void OlvidaListado() {
    conocidos_.clear();
    listada_ = false;
  }
  // The caller's keys are taken from each header as it arrives (no records kept between runs).
  std::unique_ptr<IndiceCarpeta> Indice() override;
  std::shared_ptr<Item> Find(std::string_view filter) override;

  const std::shared_ptr<ContextoImap>& Ctx() const { return ctx_; }
  const std::string& Buzon() const { return buzon_; }
  // Creates the mailbox when it is not there.
  void Crea();
  // `item` was APPENDed here and got `uid`: the next listing need not fetch its header.
  void Conoce(std::uint32_t uid, const std::shared_ptr<ItemImap>& item);
  // Selects the mailbox (see ContextoImap::Selecciona).
  std::uint32_t Selecciona() { return ctx_->Selecciona(buzon_); }

 private:
  std::shared_ptr<ContextoImap> ctx_;
  std::vector<std::string> ruta_;
  std::string nombre_;
  std::string buzon_;
  bool creada_ = false;
  // The objects of the last listing and of the APPENDs since, by UID, under UIDVALIDITY validez_.
  std::map<std::uint32_t, std::weak_ptr<ItemImap>> conocidos_;
  bool listada_ = false;  // conocidos_ stands for a listing (an empty folder's too)
  std::uint32_t validez_ = 0;
};

// "1:3,5,9:10": the UIDs as a set for a command. Never fails; `uids` may be in any order.
std::string ConjuntoUid(std::vector<std::uint32_t> uids);

// The header fields an item is read from, as a FETCH names them.
const std::string& CamposDeCabecera();

}  // namespace tablon::store::imap
