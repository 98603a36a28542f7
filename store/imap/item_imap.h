// An item of the IMAP store: one message in its folder's mailbox, known by its UID; the flags
// \Seen (read) and \Flagged (follow-up "marked") carry what the Maildir backend keeps in file
// names, and the message's bytes are the item's bytes the Maildir backend writes too
// (store/mensaje/formato_item.h), with CRLF line ends as IMAP carries them.
//
//  - Flags: a save of an unchanged item sets or clears only the flags this object was told to
//    change (SetUnRead, SetFlagStatus) since it was read or saved, so what a client changed
//    meanwhile stays; flags the store does not know are kept.
//  - A message never changes on the server: a save whose content changed APPENDs the new
//    message (with the flags found on the old one then, merged as above); only once it is in
//    is the old one marked \Deleted and removed with UID EXPUNGE, together with those of the
//    other items replaced meanwhile (at Sync, at the next listing, Delete or Move, or when the
//    store closes: ContextoImap::CompletaReemplazos) — a pass stopped between the two leaves two
//    messages of one item, which the next listing makes one (carpeta_imap.h).
//  - A move is UID MOVE where the server offers it, else UID COPY, then \Deleted and UID EXPUNGE.
//  - An APPEND is not waited for (pipelined, or batched in a MULTIAPPEND): its UID is learnt
//    when it completes.
//  - A message deleted under us is not brought back: Save, Body and Move raise
//    kObjetoNoEncontrado.
// A listed item holds the header fields the listing fetched; SueltaCampos lets them go (and the
// body) while the object matches its message, and the next use fetches them again — except the
// header fields of a flagged item, which a pass reads again to fetch its text.
//
// Drafts in memory (Application::BorradoresEnMemoria): a new item's first Save into the drafts
// folder keeps the item in memory; it is APPENDed once, where it ends up: by Move straight into
// the destination, else into the drafts folder by Sync or when the object goes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "store/imap/carpeta_imap.h"
#include "store/mensaje/formato_item.h"
#include "store/store.h"

namespace tablon::store::imap {

class ItemImap : public Item {
 public:
  // A new item, unsaved: created now, with a new Message-ID.
  explicit ItemImap(std::shared_ptr<ContextoImap> ctx);
  ~ItemImap() override;
  ItemImap(const ItemImap&) = delete;
  ItemImap& operator=(const ItemImap&) = delete;

  // The item of message `uid` of `carpeta` from its fetched flags and header fields (CRLF or LF).
  static std::shared_ptr<ItemImap> DesdeListado(std::shared_ptr<CarpetaImap> carpeta, std::uint32_t uid,
                                                std::vector<std::string> banderas, std::string_view cabecera);

  const std::string& MessageClass() const override { return reg_ ? reg_->reg.clase : clase_; }
  void SetMessageClass(std::string v) override { ACambiar().clase = std::move(v); }
  const std::string& Subject() const override { return Datos().asunto; }
  void SetSubject(std::string v) override { ACambiar().asunto = std::move(v); }
  const std::string& Body() const override;
  void SetBody(std::string v) override;
  bool UnRead() const override { return unread_; }
  void SetUnRead(bool v) override {
    unread_ = v;
    unread_set_ = true;
  }
  int FlagStatus() const override;
  void SetFlagStatus(int v) override;
  const std::string& SentOnBehalfOfName() const override { return Datos().remitente; }
  void SetSentOnBehalfOfName(std::string v) override { ACambiar().remitente = std::move(v); }
  const std::vector<std::string>& Recipients() const override { return Datos().para; }
  void AddRecipient(std::string v) override { ACambiar().para.push_back(std::move(v)); }
  const std::vector<std::string>& ReplyRecipients() const override { return Datos().responder_a; }
  void AddReplyRecipient(std::string v) override { ACambiar().responder_a.push_back(std::move(v)); }
  ::tablon::store::UserProperties& UserProperties() override {
    ACambiar();
    return reg_->props;
  }
  const ::tablon::store::UserProperties& UserProperties() const override {
    Datos();
    return reg_->props;
  }
  const std::string& MessageId() const override { return Datos().message_id; }
  const std::string& InReplyTo() const override { return Datos().in_reply_to; }
  const std::string& References() const override { return Datos().references; }
  Fecha Creado() const override { return Datos().creado; }
  std::optional<int> ZonaCreado() const override { return Datos().zona_creado; }
  void SetCreado(Fecha v, std::optional<int> zona = std::nullopt) override {
    mensaje::RegistroItem& r = ACambiar();
    r.creado = v;
    r.zona_creado = zona;
  }
  std::shared_ptr<Folder> Parent() const override { return carpeta_; }
  void Save() override;
  void Delete() override;
  std::shared_ptr<Item> Move(Folder& dest) override;
  void SueltaCampos() override;

  std::uint32_t Uid() const { return uid_; }
  // A hash of the store-made Message-ID, kept when SueltaCampos lets the fields go (0: none).
  std::uint64_t HuellaMessageId() const { return huella_id_; }
  // The object is what its message holds: saved, its UID known, nothing changed since.
  bool CoincideConServidor() const {
    return carpeta_ && !pendiente_ && uid_ != 0 && serie_append_ == 0 && !tocado_ && !cuerpo_cambiado_ &&
           !unread_set_ && !flag_set_;
  }
  // The message's flags as a listing found them now.
  void FijaBanderasLeidas(std::vector<std::string> banderas);
  const std::vector<std::string>& Banderas() const { return banderas_; }
  // The server now holds `banderas` on the message besides what it held (set by the listing
  // that made two messages of one item one).
  void AnadeBanderasGuardadas(const std::vector<std::string>& banderas);
  // The APPEND of this item completed with `uid` (0: the server did not say).
  void AppendCompletado(std::uint32_t uid);
  // Writes the draft kept in memory into the drafts folder (nothing when there is none).
  void EscribeBorrador();

 protected:
  std::shared_ptr<Item> NuevaRespuesta(std::string in_reply_to, std::string references) const override;

 private:
  struct Listado {};
  ItemImap(std::shared_ptr<ContextoImap> ctx, Listado) : ctx_(std::move(ctx)) {}

  // The stored fields; the user properties apart, as the object model hands them out.
  struct Campos {
    mensaje::RegistroItem reg;
    ::tablon::store::UserProperties props;
  };
  // The stored fields, fetched again when SueltaCampos let them go.
  const mensaje::RegistroItem& Datos() const;
  // The same, about to be changed: the first change takes note of what was stored.
  mensaje::RegistroItem& ACambiar();
  // Reads the header fields `cabecera` (CRLF or LF line ends) into reg_.
  void LeeCabecera(std::string_view cabecera) const;
  // The message's bytes as written (LF line ends).
  std::string Bytes() const;
  // The header as written without a body: what tells whether the stored fields changed.
  std::uint64_t HuellaCampos() const;
  // The flags an APPEND of this item carries: `base` (the message's) with \Seen and \Flagged
  // as this object says where it was told to change them, or where `base` is the item's own.
  std::vector<std::string> BanderasParaEscribir(const std::vector<std::string>& base) const;
  // APPENDs the item into `dest` (pipelined); the item is then in `dest`, its UID to come.
  void AppendEn(CarpetaImap& dest, std::vector<std::string> banderas);
  // The UID, once its APPEND completed; 0 when the server did not say and it was not found.
  std::uint32_t UidResuelto();
  // Fails with kObjetoNoEncontrado: the item's message was deleted under us. `formato` (marked
  // for translation) names the folder by a "%s".
  [[noreturn]] void FallaBorrado(const char* formato) const;
  // The bytes of `seccion` ("BODY.PEEK[]", …) of the item's message; nullopt when it is gone.
  std::optional<std::string> TraeSeccion(const std::string& seccion);
  // The message's current flags on the server; nullopt when it is gone.
  std::optional<std::vector<std::string>> BanderasActuales();
  void Expunge(std::uint32_t uid);
  void MarcaGuardado();

  std::shared_ptr<ContextoImap> ctx_;
  std::shared_ptr<CarpetaImap> carpeta_;  // nullptr until saved
  std::uint32_t uid_ = 0;
  std::uint64_t serie_append_ = 0;  // an APPEND in flight (ContextoImap::Append)
  mutable std::unique_ptr<Campos> reg_;
  // The class and the "completed" state, kept while SueltaCampos let reg_ go.
  std::string clase_;
  bool completada_ = false;
  mutable std::uint64_t huella_id_ = 0;
  std::string id_suelto_;  // the Message-ID, when the fields were let go before the UID was known
  mutable mensaje::FormaCuerpo forma_ = mensaje::FormaCuerpo::TalCual;
  mutable std::unique_ptr<std::string> body_;
  mutable bool cuerpo_cargado_ = true;
  bool cuerpo_cambiado_ = false;
  std::vector<std::string> banderas_;  // the message's flags as last known, \Seen and \Flagged aside
  bool unread_ = true, unread_set_ = false;
  bool marcado_ = false, flag_set_ = false;  // follow-up "marked" (\Flagged)
  bool tocado_ = false;  // a setter that may change the stored fields was called
  std::uint64_t huella_ = 0;  // HuellaCampos() when last read or saved
  bool pendiente_ = false;   // a draft kept in memory
};

}  // namespace tablon::store::imap
