// An item of the Maildir store: one file in its folder's cur/ (or new/, where a mail client
// delivered it), identified by its base name until its content changes (see below); the file
// name's flags carry "read" (S) and "marked for follow-up" (F).
//
// Races with mail clients (they rename files to change flags, and may delete them):
//  - Every save locates the file afresh by base name. The flags found on disk win, except the
//    ones this object was told to change (SetUnRead, SetFlagStatus) since it was read or last
//    saved; flags the store does not know (R, T, D, P, ...) are kept.
//  - A message is immutable to its readers (Dovecot, IMAP clients and neomutt's header cache
//    keep what they learnt of it by its base). So a save whose content differs from the file's
//    writes the whole item to tmp/ (fsync'd), swaps it with the file as found in one step
//    (renameat2 RENAME_EXCHANGE), renames it to a NEW base with the flags found on it then, and
//    removes the old content: readers see the old message go and a new one come, never a part.
//    The item object follows its new base. A save whose content is the file's already only
//    renames the file when its flags change.
//  - A client renaming the file at any point is followed (its flags are kept); a file deleted
//    under us is not brought back: Save and Body raise kObjetoNoEncontrado. There is never a
//    second copy made by the store.
// An item listed from a folder is read from its file on first use (its header then, its body when
// the body is asked for), and SueltaCampos lets both go again while the object matches its file; a
// save of an item whose body was never loaded carries the stored body over.
//
// Drafts in memory (Application::BorradoresEnMemoria): a new item's first Save into the drafts
// folder keeps the item's bytes (and its file-name flags) in memory instead of writing them;
// later saves and SetUnRead replace them there. The file is written once: by Move, straight into
// the destination folder (tmp/, then renamed into cur/, as any save); or into the drafts folder
// by Sync, by a read of that folder, or when the item object goes. A reader never sees a part
// of it either way.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "store/maildir/carpeta_maildir.h"
#include "store/maildir/texto_clase.h"
#include "store/mensaje/formato_item.h"
#include "store/store.h"

namespace tablon::store::maildir {

class ItemMaildir : public Item {
 public:
  // A new item, unsaved: created now, with a new base name and Message-ID.
  explicit ItemMaildir(std::shared_ptr<Contexto> ctx);
  // A draft still in memory is written into the drafts folder (failures are reported to the
  // trap observer, core/paso.h: a destructor cannot throw).
  ~ItemMaildir() override;
  ItemMaildir(const ItemMaildir&) = delete;
  ItemMaildir& operator=(const ItemMaildir&) = delete;
  struct Listado {};
  ItemMaildir(std::shared_ptr<Contexto> ctx, Listado) : ctx_(std::move(ctx)) {}
  // The item of file `archivo` (its name, or what follows its base: ":2,FS") in `carpeta`, as
  // a listing finds it: read state and "marked" from the file name; the rest is read from the
  // file when first used.
  static std::shared_ptr<ItemMaildir> DesdeListado(std::shared_ptr<CarpetaMaildir> carpeta,
                                                   std::string base, std::string_view archivo);

  const std::string& MessageClass() const override {
    Lee();
    return message_class_.get();
  }
  void SetMessageClass(std::string v) override {
    Lee();
    message_class_ = TextoClase(std::move(v));
    ++cambios_;
  }
  const std::string& Subject() const override { return Campos().subject; }
  void SetSubject(std::string v) override {
    CamposACambiar().subject = std::move(v);
    ++cambios_;
  }
  const std::string& Body() const override;
  void SetBody(std::string v) override;
  bool UnRead() const override { return unread_; }
  // The read state is a flag of the file name: a saved item changes it at once (a rename).
  void SetUnRead(bool v) override;
  int FlagStatus() const override {
    if (flag_status_ != kMarcado) Lee();  // "completed" is kept in the file, not its name
    return flag_status_;
  }
  void SetFlagStatus(int v) override {
    Lee();
    flag_status_ = v;
    flag_set_ = true;
    ++cambios_;
  }
  const std::string& SentOnBehalfOfName() const override { return Campos().sender; }
  void SetSentOnBehalfOfName(std::string v) override {
    CamposACambiar().sender = std::move(v);
    ++cambios_;
  }
  const std::vector<std::string>& Recipients() const override { return Campos().recipients; }
  void AddRecipient(std::string v) override {
    CamposACambiar().recipients.push_back(std::move(v));
    ++cambios_;
  }
  const std::vector<std::string>& ReplyRecipients() const override { return Campos().reply_recipients; }
  void AddReplyRecipient(std::string v) override {
    CamposACambiar().reply_recipients.push_back(std::move(v));
    ++cambios_;
  }
  ::tablon::store::UserProperties& UserProperties() override {
    auto& p = CamposACambiar().props;
    ++cambios_;
    return p;
  }
  const ::tablon::store::UserProperties& UserProperties() const override { return Campos().props; }
  const std::string& MessageId() const override { return Campos().message_id; }
  const std::string& InReplyTo() const override { return Campos().in_reply_to; }
  const std::string& References() const override { return Campos().references; }
  Fecha Creado() const override { return Campos().created; }
  std::optional<int> ZonaCreado() const override { return Campos().zona_creado; }
  void SetCreado(Fecha v, std::optional<int> zona = std::nullopt) override {
    Datos& d = CamposACambiar();
    d.created = v;
    d.zona_creado = zona;
    ++cambios_;
  }
  std::shared_ptr<Folder> Parent() const override { return carpeta_; }
  void Save() override;
  std::shared_ptr<Item> Move(Folder& dest) override;
  // The file is found by its base, also after a mail client renamed it (a few times).
  void Delete() override;
  void SueltaCampos() override;

  const std::string& Base() const { return base_; }
  // Whether the class and flag state are known (read from the file, set, or given by
  // ConoceFicha).
  bool Leido() const { return leido_; }
  // For an item listed and not read yet: its class and flag state as the folder's index recorded
  // them for this very file (store/maildir/indice_maildir.h), so that neither reads the file.
  // The other fields are read when first used, as for any listed item. Nothing for an item
  // already read.
  void ConoceFicha(std::string clase, int marca) {
    if (leido_) return;
    message_class_ = TextoClase(std::move(clase));
    flag_status_ = marca;
    leido_ = true;
  }
  // True while this object is what its file holds: saved, not a draft in memory, and not
  // changed since it was read or last written (see CarpetaMaildir::Items).
  bool CoincideConArchivo() const {
    return guardado_ && !pendiente_ && cambios_ == cambios_en_archivo_;
  }

  // Writes the draft kept in memory into the drafts folder (nothing when there is none).
  void EscribeBorrador();

 protected:
  std::shared_ptr<Item> NuevaRespuesta(std::string in_reply_to, std::string references) const override;

 private:
  // The fields read from the file's header, which SueltaCampos lets go.
  struct Datos {
    std::string subject;
    std::string sender;
    std::vector<std::string> recipients;
    std::vector<std::string> reply_recipients;
    ::tablon::store::UserProperties props;
    std::string message_id;
    std::string in_reply_to;
    std::string references;
    Fecha created;
    std::optional<int> zona_creado;
  };
  // Brings the stored fields into memory (datos_, and with them message_class_ and the
  // "completed" flag state); raises when the file is gone. Called only while datos_ is empty;
  // an item with nothing stored to read starts empty fields.
  void CargaDatos() const;
  const Datos& Campos() const {
    if (!datos_) CargaDatos();
    return *datos_;
  }
  Datos& CamposACambiar() {
    if (!datos_) CargaDatos();
    return *datos_;
  }
  // The class and flag state are known once the item was read (they stay when SueltaCampos
  // lets the other fields go).
  void Lee() const {
    if (!leido_) CargaDatos();
  }
  // The body as held (empty when none is), and a new one; an empty body takes no memory (most
  // items of a pass are header items without one).
  const std::string& Cuerpo() const {
    static const std::string vacio;
    return body_ ? *body_ : vacio;
  }
  void PonCuerpo(std::string v) const {
    if (v.empty()) {
      body_.reset();
    } else {
      body_ = std::make_unique<std::string>(std::move(v));
    }
  }
  mensaje::VistaItem Vista() const;
  // Raises errnum::kObjetoNoEncontrado: `formato` (marked for translation) names the item and
  // its folder by two "%s".
  [[noreturn]] void FallaBorrado(const char* formato) const;
  // This object as the folder index keeps it (empty while the object is being destroyed).
  std::weak_ptr<ItemMaildir> ReferenciaPropia();
  // Writes the draft kept in memory into `dest` and forgets it.
  void EscribePendienteEn(CarpetaMaildir& dest);
  // The flags a save gives the file found as `archivo`: the client's, except those set here
  // (this object's read and follow-up state follow).
  std::string BanderasFusionadas(std::string_view archivo);
  // base_ made the one that replaced it, when another object of the same item replaced it.
  void SigueBase() const;
  static Ubicacion UbicacionNueva(const std::string& base, const Ubicacion& antes,
                                  const std::string& banderas);
  // True when the file at `u` holds exactly `bytes`.
  bool IgualQueArchivo(const Ubicacion& u, std::string_view bytes) const;
  // A save whose content is the file's already: the flags, by a rename when they change.
  void AplicaBanderas(Ubicacion actual);
  // A save whose content changed: the item under a new base (see item_maildir.cc for the steps).
  void Reemplaza(Ubicacion actual, const std::string& bytes);

  mutable TextoClase message_class_;
  mutable std::unique_ptr<std::string> body_;
  mutable bool unread_ = true;
  bool unread_set_ = false;
  mutable int flag_status_ = kSinMarca;
  bool flag_set_ = false;
  // False for an item listed from its file and not read yet (class and flag state unknown).
  mutable bool leido_ = true;
  // Bumped by every setter (and by the changeable UserProperties()): compared with its value
  // at the last read or save to know whether the object still matches its file (only equality
  // counts, so wrapping around is harmless; 32 bits keep a listed item small).
  std::uint32_t cambios_ = 0;
  mutable std::unique_ptr<Datos> datos_ = std::make_unique<Datos>();
  std::shared_ptr<Contexto> ctx_;
  std::shared_ptr<CarpetaMaildir> carpeta_;  // nullptr until saved
  mutable std::string base_;
  bool guardado_ = false;
  mutable bool cuerpo_cargado_ = true;
  bool pendiente_ = false;  // a draft kept in memory (pend_ below)
  // cambios_ when the object last matched its file (read, saved, or a draft saved in memory).
  std::uint32_t cambios_en_archivo_ = 0;
  // A draft kept in memory: its file's bytes and flags as last saved (apart, so that the many
  // items that are no draft do not carry them).
  struct Pendiente {
    std::string bytes;
    std::string banderas;
  };
  std::unique_ptr<Pendiente> pend_;  // set while pendiente_
};

}  // namespace tablon::store::maildir
