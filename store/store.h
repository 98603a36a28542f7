// The mail store as Tablón sees it: application, "MAPI" namespace, folders, items and their
// user properties — the object model the synchronisation needs, and nothing that assumes how a
// backend keeps it. Each backend implements these classes in a directory of its own below
// store/ and is opened by the program, which knows them all (app/almacen.h); nothing here knows
// any backend.
//
// Every call either succeeds or throws tablon::Error (core/error.h) with a Spanish
// description; the numbers used here:
//   errnum::kObjetoNoEncontrado  a top-level folder, user property or action that is not there;
//                                an item whose stored copy was deleted under us (never recreated)
//   errnum::kTipoNoCoincide      an item taken as a post that is a mail note, or the reverse;
//                                a property value that cannot be converted as asked
//   errnum::kArgumentoNoValido   a namespace type other than "MAPI", a bad filter, item kind != 0
//   file-system numbers          (Error::DeErrno) when the backend's storage fails
// Objects are shared references (std::shared_ptr); holding one never locks anything.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/fecha.h"
#include "store/indice_carpeta.h"

namespace tablon::store {

class Folder;
class Item;

// User-property type codes, as the object model numbers them.
enum class TipoPropiedad : int { Texto = 1, FechaHora = 5, PalabrasClave = 11 };

// Item kind follows the message class: "IPM.Post…" (letter case ignored) is a post, anything
// else a mail note.
enum class TipoItem { Post, Nota };

// Follow-up flag state.
inline constexpr int kSinMarca = 0;
inline constexpr int kMarcaCompletada = 1;
inline constexpr int kMarcado = 2;

using Valor = std::variant<std::string, Fecha>;

class UserProperty {
 public:
  UserProperty(std::string name, TipoPropiedad type, bool add_to_folder_fields)
      : name_(std::move(name)), type_(type), in_folder_fields_(add_to_folder_fields) {}

  const std::string& Name() const { return name_; }
  TipoPropiedad Type() const { return type_; }
  bool InFolderFields() const { return in_folder_fields_; }

  const Valor& Value() const { return value_; }
  void SetValue(Valor v) { value_ = std::move(v); }

  // The value as text: a text as it is; a date in the state file's date text.
  std::string ComoTexto() const;
  // The value as a date: a date as it is; a text read as date text, else kTipoNoCoincide.
  Fecha ComoFecha() const;

 private:
  std::string name_;
  TipoPropiedad type_;
  bool in_folder_fields_;
  Valor value_ = std::string();
};

class UserProperties {
 public:
  // The property named `name` (exact name), or nullptr.
  UserProperty* Find(std::string_view name);
  const UserProperty* Find(std::string_view name) const;
  // The property named `name`; kObjetoNoEncontrado when the item has none.
  UserProperty& Item(std::string_view name);
  const UserProperty& Item(std::string_view name) const;
  // Adds a property and returns it. A property of the same name is replaced (its value reset).
  UserProperty& Add(std::string name, TipoPropiedad type, bool add_to_folder_fields);
  // The same with its value: `prop` is added (or replaces the property of its name) as it is.
  UserProperty& Add(UserProperty prop);
  void reserve(size_t n) { props_.reserve(n); }
  // Takes `props` as the whole list, each added in turn as by Add (a later property of a name
  // replaces an earlier one).
  void Adopta(std::vector<UserProperty> props);
  const std::vector<UserProperty>& All() const { return props_; }

 private:
  std::vector<UserProperty> props_;
};

// An item of the store: a post or a mail note. A new item lives in memory until it is saved.
// Setters change the in-memory item only; Save (or Close(0)) makes them lasting.
//
// A backend may keep an item it read from storage without its stored fields in memory and read
// them when first used (see SueltaCampos): a getter may then raise kObjetoNoEncontrado when the
// stored copy was deleted meanwhile, and every getter may read what another program changed in
// storage since the item was listed.
class Item : public std::enable_shared_from_this<Item> {
 public:
  virtual ~Item() = default;

  TipoItem Kind() const;

  virtual const std::string& MessageClass() const = 0;
  virtual void SetMessageClass(std::string v) = 0;

  virtual const std::string& Subject() const = 0;
  virtual void SetSubject(std::string v) = 0;

  // The body; a backend may read it from storage only when first asked.
  virtual const std::string& Body() const = 0;
  virtual void SetBody(std::string v) = 0;

  virtual bool UnRead() const = 0;
  // For a saved item a backend may apply the read state at once, as a mail client marking an
  // item does; otherwise the next Save makes it lasting.
  virtual void SetUnRead(bool v) = 0;

  // Follow-up flag state (kSinMarca, kMarcaCompletada, kMarcado). A mail client may change it
  // between reads; a Save keeps the stored state unless SetFlagStatus was called on this object.
  virtual int FlagStatus() const = 0;
  virtual void SetFlagStatus(int v) = 0;

  virtual const std::string& SentOnBehalfOfName() const = 0;
  virtual void SetSentOnBehalfOfName(std::string v) = 0;

  // Recipient lists: Add appends one recipient text.
  virtual const std::vector<std::string>& Recipients() const = 0;
  virtual void AddRecipient(std::string v) = 0;
  virtual const std::vector<std::string>& ReplyRecipients() const = 0;
  virtual void AddReplyRecipient(std::string v) = 0;

  // Counts as a change: the caller may change the properties through it.
  virtual ::tablon::store::UserProperties& UserProperties() = 0;
  virtual const ::tablon::store::UserProperties& UserProperties() const = 0;

  // The store's identity of the item and its thread links (mail Message-ID, In-Reply-To,
  // References), set by the store; a reply made by "Responder" links to its parent here.
  virtual const std::string& MessageId() const = 0;
  virtual const std::string& InReplyTo() const = 0;
  virtual const std::string& References() const = 0;
  // The item's date, the one a mail client shows and sorts by: when it was created (the store
  // sets it on creation), unless a caller gave it the date of what it stands for.
  virtual Fecha Creado() const = 0;
  // The zone that date is shown in (its Date header's offset), in minutes east of UTC; none: the
  // machine's local zone at that instant, as for an item's own creation date. An item read back
  // keeps the zone it was saved with.
  virtual std::optional<int> ZonaCreado() const = 0;
  // Sets the date, and the zone to show it in (none: the local zone).
  virtual void SetCreado(Fecha v, std::optional<int> zona = std::nullopt) = 0;

  // The folder the item lies in: nullptr for an item never saved; the drafts folder
  // ("Borradores") for one saved but never moved.
  virtual std::shared_ptr<Folder> Parent() const = 0;

  // Writes the item. An item saved before is replaced as a whole; an item whose stored copy
  // was deleted meanwhile raises kObjetoNoEncontrado and is not brought back.
  virtual void Save() = 0;
  // Close with save mode 0 saves; mode 1 discards changes; mode 2 is refused (no prompting).
  void Close(int save_mode);
  // Deletes the item's stored copy (one already gone is no failure); the object is then an
  // unsaved item again. A file-system failure raises.
  virtual void Delete() = 0;
  // Moves the (saved) item into `dest` and returns the item there. This object follows the
  // move: afterwards it is the item in `dest` too. An unsaved item is saved first.
  virtual std::shared_ptr<Item> Move(Folder& dest) = 0;

  // Item actions by name. "Responder": a new, unsaved mail note addressed to this item's
  // Reply-To (else its sender), subject "RE: " + this subject, linked to this item as its
  // reply. Any other name: kObjetoNoEncontrado.
  std::shared_ptr<Item> Execute(std::string_view action);

  // Lets go of the memory of the item's stored fields (subject, sender, recipients, user
  // properties, links, body) while they are exactly what storage holds: saved, and not changed
  // since it was read or saved. The next use reads them again. An item with unsaved changes, or
  // in a backend without storage to read from, keeps everything; nothing fails.
  virtual void SueltaCampos() {}

 protected:
  // A new, unsaved mail note of the same store, linked as a reply: its In-Reply-To is
  // `in_reply_to` and its References `references`.
  virtual std::shared_ptr<Item> NuevaRespuesta(std::string in_reply_to, std::string references) const = 0;
};

// What every backend's Application and Namespace check and look up the same way:
// GetNamespace takes "MAPI" alone and CreateItem kind 0 alone (kArgumentoNoValido otherwise);
// the top-level folder named `name` among `carpetas`, else kObjetoNoEncontrado naming the store as
// `almacen` describes it.
void CompruebaTipoEspacio(std::string_view type);
void CompruebaTipoItem(int kind);
std::shared_ptr<Folder> CarpetaLlamada(const std::vector<std::shared_ptr<Folder>>& carpetas, const std::string& name,
                                       const std::string& almacen);

// Throw kTipoNoCoincide unless `item` is of the kind asked for; return it otherwise.
const std::shared_ptr<Item>& ComoPost(const std::shared_ptr<Item>& item);
const std::shared_ptr<Item>& ComoNota(const std::shared_ptr<Item>& item);

class Folder : public std::enable_shared_from_this<Folder> {
 public:
  virtual ~Folder() = default;

  // The folder's exact name (any text, the empty text included).
  virtual const std::string& Name() const = 0;

  // Subfolders, in the store's order.
  virtual std::vector<std::shared_ptr<Folder>> Folders() = 0;
  // Adds a subfolder named `name` and returns it. A subfolder of exactly that name that
  // exists already is returned as it is.
  virtual std::shared_ptr<Folder> AddFolder(const std::string& name) = 0;

  // The folder's items in the store's order (oldest first), both kinds; the caller takes each
  // as the kind it expects with ComoPost/ComoNota. An item that did not change since an earlier
  // call (here or on the store's side) may come as the object that call gave.
  virtual std::vector<std::shared_ptr<Item>> Items() = 0;

  // The folder's persistent index of its items (store/indice_carpeta.h), for one run over the
  // folder. A backend that keeps none gives SinIndicePersistente (every item read). Raises
  // nothing itself; its calls fail as they say.
  virtual std::unique_ptr<IndiceCarpeta> Indice();

  // The first item (store order) matching `filter`, or nullptr. The filter language knows one
  // form: [Asunto] = "text" — subject equal to text, letter case ignored; a double quote inside
  // the text is written twice. Anything else: kArgumentoNoValido.
  virtual std::shared_ptr<Item> Find(std::string_view filter) = 0;
};

class Namespace {
 public:
  virtual ~Namespace() = default;
  // The top-level folder named `name`; kObjetoNoEncontrado when there is none.
  virtual std::shared_ptr<::tablon::store::Folder> Folder(const std::string& name) = 0;
  virtual std::vector<std::shared_ptr<::tablon::store::Folder>> Folders() = 0;
  // Creates a top-level folder (or returns the existing one of exactly that name).
  virtual std::shared_ptr<::tablon::store::Folder> AddFolder(const std::string& name) = 0;
};

class Application {
 public:
  virtual ~Application() = default;
  // "MAPI" is the one namespace type; any other: kArgumentoNoValido.
  virtual std::shared_ptr<Namespace> GetNamespace(std::string_view type) = 0;
  // A new, unsaved item; kind 0 is a mail note, other kinds: kArgumentoNoValido.
  virtual std::shared_ptr<Item> CreateItem(int kind) = 0;
  // Makes every item saved so far durable (survives a power loss).
  virtual void Sync() = 0;
  // Drafts kept in memory. While on, a new item saved into the drafts folder is not written
  // there: it is written once, where it ends up — straight into the folder a Move takes it to,
  // or into the drafts folder when Sync runs, when that folder is read, or when the last
  // reference to the item goes. Saves and flag changes before that touch memory only. The
  // price: a process that dies before then leaves no such draft behind, so this is for callers
  // that recreate those items on their next run (the synchronisation pass). Off by default.
  virtual void BorradoresEnMemoria(bool on) = 0;
};

}  // namespace tablon::store
