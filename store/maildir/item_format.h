// An item as the bytes of one RFC 5322 file, and back: a pure mapping, no file access.
//
// Header block, in this order:
//   Date, From, To, Reply-To, Subject, Message-ID, In-Reply-To, References   display (see
//       header_text.h); From/To/Reply-To/In-Reply-To/References only when there is a value
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

#include <string>
#include <string_view>
#include <vector>

#include "store/store.h"

namespace tablon::store::maildir {

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
  bool completada = false;  // follow-up flag "completed" (kept when F is absent)
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
  bool completada;
};

enum class FormaCuerpo { TalCual, Crlf, Base64 };

FormaCuerpo EligeFormaCuerpo(std::string_view cuerpo);
// A whole RFC 5322 message: header fields (with continuations) up to an empty line.
bool PareceMensaje(std::string_view cuerpo);

// The complete file: header block, empty line, encoded body.
std::string EscribeItem(const VistaItem& v, std::string_view cuerpo);
std::string EscribeItem(const RegistroItem& r, std::string_view cuerpo);

struct CabeceraItem {
  RegistroItem registro;
  FormaCuerpo forma = FormaCuerpo::TalCual;
};
// Reads a header block (the file's bytes up to its first empty line, or the whole file).
CabeceraItem LeeCabeceraItem(std::string_view bloque);

// The body from the bytes after the header block. A base64 body that does not decode is
// returned as it stands.
std::string DecodificaCuerpo(FormaCuerpo forma, std::string_view bytes);

// The item's body from the whole file.
std::string CuerpoDeArchivo(std::string_view archivo);

}  // namespace tablon::store::maildir
