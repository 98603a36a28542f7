// An item of either store backend as the bytes of one RFC 5322 message, and back: a pure
// mapping, no file or network access. The Maildir item (store/maildir/item_maildir.h) writes its
// file with EscribeItem and reads it back with LeeCabeceraItem and CuerpoDeArchivo; the IMAP item
// (store/imap/item_imap.h) appends the same bytes with CRLF line ends and reads its message back
// the same way once its line ends are LF again. The writer is formato_item_escritura.cc, the
// reader formato_item_lectura.cc, and both see header lines through one scanner
// (bloque_encabezados.h).
//
// Header block, in this order:
//   Date, From, To, Reply-To, Subject, Message-ID, In-Reply-To, References   display (see
//       texto_cabecera.h); From/To/Reply-To/In-Reply-To/References only when there is a value
//       Date is the creation date, in the item's zone (ZonaCreado) or else the local one; the
//       zone is read back from it when the instant it names is the creation date's (below)
//   MIME-Version, Content-Type, Content-Transfer-Encoding
//   X-Tablon-Clase, X-Tablon-Asunto, X-Tablon-De         exact class, subject, sender
//   X-Tablon-Para, X-Tablon-Responder-A                  one per recipient, exact, in order
//   X-Tablon-Creado                                      the creation date's day count, exact
//   X-Tablon-Marca: completada                           follow-up flag "completed" (the
//                                                        "marked" state is the file name's F)
//   X-Tablon-Propiedad: TYPE;F;NAME;VALUE                one per user property: type code, 1 when
//                                                        in the folder fields, exact name, and
//                                                        "t:"+exact text or "f:"+day count
//   X-Tablon-Cuerpo: crlf                                see below
// Exact values are percent-encoded (CodificaExacto); day counts are written in the shortest
// form that reads back to the same double.
//
// Body, exact in all cases:
//   - no CR and no NUL: written as it is (8bit);
//   - every line end CRLF (every CR followed by LF, every LF preceded by CR), no NUL: written with
//     LF line ends and "X-Tablon-Cuerpo: crlf"; read back with CRLF;
//   - anything else: base64.
// Content-Type is message/rfc822 when the body is itself a whole message (a header block of
// "Name: value" lines, an empty line, a body: a news article) and is not base64-encoded, so a
// mail client shows the article with its own MIME type and charset; otherwise text/plain with
// charset utf-8 (or iso-8859-1 when the body is not valid UTF-8).
//
// Reading prefers the X-Tablon headers; a file without them (a mail from elsewhere) reads with
// subject, sender and recipients from Subject, From, To, Reply-To, and class "IPM.Note".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/store.h"

namespace tablon::store::mensaje {

// The names of our exact headers, as written; read in any letter case.
inline constexpr std::string_view kCampoClase = "X-Tablon-Clase";
inline constexpr std::string_view kCampoAsunto = "X-Tablon-Asunto";
inline constexpr std::string_view kCampoDe = "X-Tablon-De";
inline constexpr std::string_view kCampoPara = "X-Tablon-Para";
inline constexpr std::string_view kCampoResponderA = "X-Tablon-Responder-A";
inline constexpr std::string_view kCampoCreado = "X-Tablon-Creado";
inline constexpr std::string_view kCampoMarca = "X-Tablon-Marca";
inline constexpr std::string_view kCampoPropiedad = "X-Tablon-Propiedad";
inline constexpr std::string_view kCampoCuerpo = "X-Tablon-Cuerpo";

struct RegistroItem {
  std::string clase = "IPM.Note";
  std::string asunto;
  std::string remitente;
  std::vector<std::string> para;
  std::vector<std::string> responder_a;
  std::vector<UserProperty> propiedades;
  std::string message_id;
  std::string in_reply_to;
  std::string references;
  Fecha creado;
  std::optional<int> zona_creado;  // the zone Date shows `creado` in; none: the local zone
  bool completada = false;         // follow-up flag "completed" (kept when F is absent)
};

// What the writer needs of an item, without copying it.
struct VistaItem {
  std::string_view clase;
  std::string_view asunto;
  std::string_view remitente;
  const std::vector<std::string>& para;
  const std::vector<std::string>& responder_a;
  const std::vector<UserProperty>& propiedades;
  std::string_view message_id;
  std::string_view in_reply_to;
  std::string_view references;
  Fecha creado;
  std::optional<int> zona_creado;
  bool completada;
};

enum class FormaCuerpo { TalCual, Crlf, Base64 };

// ---- Writing (formato_item_escritura.cc) ------------------------------------------------------

// The form `cuerpo` is written in (see above). Never fails.
FormaCuerpo EligeFormaCuerpo(std::string_view cuerpo);
// True when `cuerpo` is a whole RFC 5322 message: at least one header field, every line up to an
// empty one a field (its name printable ASCII) or a field's continuation, and that empty line
// ended by a LF. Never fails.
bool PareceMensaje(std::string_view cuerpo);

// The complete file: header block, empty line, encoded body. Any values and any body bytes give
// a file (fails only for want of memory).
std::string EscribeItem(const VistaItem& v, std::string_view cuerpo);
std::string EscribeItem(const RegistroItem& r, std::string_view cuerpo);

// ---- Reading (formato_item_lectura.cc) -------------------------------------------------------

struct CabeceraItem {
  RegistroItem registro;
  FormaCuerpo forma = FormaCuerpo::TalCual;
};
// The values and body form from a header block (the file's bytes up to its first empty line, or
// the whole file). Never refuses: what is missing keeps RegistroItem's defaults, and a malformed
// X-Tablon-Propiedad line is skipped. The creation date's zone is the Date header's offset when
// that header names the very second X-Tablon-Creado holds (a file written before items kept a
// zone thus reads back in the local zone its Date was written in); none otherwise (no Date, one
// changed by hand, mail written by others).
CabeceraItem LeeCabeceraItem(std::string_view bloque);

// The body from the bytes after the header block. A base64 body that does not decode is
// returned as it stands.
std::string DecodificaCuerpo(FormaCuerpo forma, std::string_view bytes);

// The item's body from the whole file; empty when the file has no empty line ending its header
// block.
std::string CuerpoDeArchivo(std::string_view archivo);

}  // namespace tablon::store::mensaje
