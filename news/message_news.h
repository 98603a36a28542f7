// One article of one newsgroup as the synchronisation sees it: the fields of its overview line,
// its date, and the store item that stands for it in the group's folder.
//
// The item layout written here is the contract between header retrieval, the download of
// flagged articles and the user, who reads the items in a mail client and flags those whose
// text is wanted:
//   MessageClass "IPM.Note.News.Header" ("IPM.Note.News.Full" once the text is downloaded),
//   SentOnBehalfOfName = Autor, ReplyRecipients += Autor, Recipients += group name,
//   subject, empty Body, UnRead, and the user properties
//   "newsgroups" (keywords, 11) = group name, "FechaNewsMsg" (date-time, 5) = fecha,
//   "ArticleID" (text, 1) = id, "IDReferencia" (text, 1) = referencias,
//   each added with the folder-fields flag set.
// msgnum, bytes and lineas are not stored in the item.
//
// Nothing here traps failures: a failing step raises tablon::Error to the caller with the steps
// before it already done.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/fecha.h"
#include "store/store.h"

namespace tablon {

class MessageNews {
 public:
  // Fields filled from an overview line (or, for subject/Autor/id/referencias, from an item).
  std::int32_t msgnum = 0;
  std::string subject;
  std::string Autor;
  std::string id;
  std::string referencias;
  std::int32_t bytes = 0;
  std::int32_t lineas = 0;
  // While a group's items are written: how many replies still to be written will have this
  // message's item as their parent.
  std::int32_t respuestas_pendientes = 0;

  Fecha fecha() const { return fecha_; }
  // The zone the article's Date was written in (minutes east of UTC; see LeeFechaZonaRfc5322),
  // for the Date its item shows; none for a date given without one (the item shows the local
  // zone).
  std::optional<int> zona() const {
    if (zona_ == kSinZona) return std::nullopt;
    return zona_;
  }
  void fecha(Fecha v) {
    fecha_ = v;
    zona_ = kSinZona;
  }
  void fecha(Fecha v, int zona) {
    fecha_ = v;
    zona_ = static_cast<std::int16_t>(zona < -5999 || zona > 5999 ? kSinZona : zona);
  }

  // Propiedad que contiene el mensaje de Outlook equivalente a este mensaje.
  const std::shared_ptr<store::Item>& OutlookMsg() const { return item_; }
  // Sets the item and reloads, in this order, Autor (SentOnBehalfOfName), subject, fecha
  // ("FechaNewsMsg"; its zone the item's date's, when that date is this one), id ("ArticleID")
  // and referencias ("IDReferencia"). A missing property or a "FechaNewsMsg" that is no date
  // stops the load there with an error: the item is already set and the fields read before keep
  // their new values.
  void OutlookMsg(std::shared_ptr<store::Item> item);

  // Sets the item without reading anything from it: for a message whose `id` is known already
  // (the folder's index gave it). The other fields stay as they are; Asunto reads the item's
  // subject when it is needed.
  void AdoptaItem(std::shared_ptr<store::Item> item) { item_ = std::move(item); }

  // True exactly when the message has an item.
  bool ExisteMensajeLocal() const { return item_ != nullptr; }

  // Lets subject, Autor and referencias go (emptied, their memory freed) once the pass needs
  // them no more from this record, and the item's own fields with them (store::Item::SueltaCampos):
  // the item keeps them in the store. id, the numbers and the date stay. Nothing happens to a
  // message without an item.
  void SueltaCampos();
  // The subject: the field, or, when that is empty and the message has an item, the item's
  // subject (the same text, unless the field was let go; read from the store, which raises as
  // the item's Subject does, for instance when its file was deleted).
  std::string Asunto() const;

  // Writes the article into the store as a header item and returns it (see the layout above);
  // the item's date is fecha, shown in its zone.
  // Without `parent`, a new mail note of the store; with it, the reply that the parent's
  // "Responder" action makes, saved at once. The item ends saved where the store puts new
  // items; moving it into the group's folder is the caller's business. A parent without the
  // reply action fails before anything is written, the message keeping its earlier item.
  std::shared_ptr<store::Item> CreateOutlookMsg(const std::string& newsGrp,
                                                const std::shared_ptr<store::Item>& parent);

 private:
  // The zone of a date without one. A record per article of a group lives for the whole pass:
  // an int16_t fits in its padding, where a std::optional<int> would make it larger.
  static constexpr std::int16_t kSinZona = INT16_MIN;
  std::int16_t zona_ = kSinZona;
  Fecha fecha_;
  std::shared_ptr<store::Item> item_;
};

// The item classes and user-property names that the synchronisation writes and reads.
inline constexpr const char* kClaseCabecera = "IPM.Note.News.Header";
inline constexpr const char* kClaseCompleto = "IPM.Note.News.Full";
inline constexpr const char* kPropGrupos = "newsgroups";
inline constexpr const char* kPropFecha = "FechaNewsMsg";
inline constexpr const char* kPropArticulo = "ArticleID";
inline constexpr const char* kPropReferencia = "IDReferencia";

}  // namespace tablon
