// IMAP server responses as bytes become parsed responses (RFC 3501, RFC 9051), for the store's
// IMAP backend. Nothing here touches a socket: the connection feeds received bytes into
// `Respuestas` and asks for complete responses; tests and the fuzzer feed the same bytes in any
// chunking and get the same responses. Also here, as pure functions: what a client reads out of
// FETCH, LIST and STATUS responses, IMAP numbers, mailbox names in modified UTF-7, and the
// strings a client writes into its commands.
//
//  - A response is one logical line: it ends with CRLF (a bare LF is accepted too), and each
//    literal announced at the end of a line ("{N}", "{N+}" or "~{N}") is followed by exactly N
//    bytes of any value before the line goes on.
//  - Every response is bounded (`Limites`): the bytes of one line between literals, one
//    literal's size (refused as soon as it is announced, before any of its bytes are kept), the
//    bytes of the whole response, the nesting of parenthesised lists and the count of values.
//    Whatever the peer sends, the reader's buffer stays within twice one response's bound plus
//    what the caller fed it at once, and a parsed response within its count of values.
//  - A fault (a bound passed, a response that breaks the grammar) raises
//    tablon::Error(errnum::kProtocolo) with a Spanish text naming the bound or quoting a cut,
//    printable excerpt of the offending bytes; the stream is out of step from then on, and every
//    later call on the same reader raises the same error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"
#include "red/buffer_recepcion.h"

namespace tablon::store::imap {

// The most one response may hold. The defaults fit a FETCH of one large message and a SEARCH of a
// mailbox of a million messages.
struct Limites {
  std::size_t linea = std::size_t{16} << 20;        // one line's bytes, line end not counted
  std::uint64_t literal = std::uint64_t{64} << 20;  // one literal's bytes
  std::uint64_t respuesta = std::uint64_t{96} << 20;  // lines, line ends and literals together
  std::size_t profundidad = 64;                     // lists inside lists
  std::size_t elementos = std::size_t{1} << 20;     // values of every kind, lists included
};

enum class TipoValor { kAtomo, kNumero, kCadena, kLiteral, kNil, kLista };

// One value of a response's data. Atoms keep their text as sent (letter case included); an atom
// followed by a bracketed section ("BODY[HEADER.FIELDS (MESSAGE-ID)]<0>") is one atom whose
// section text and origin are kept apart. A run of digits that fits in 63 bits is a number; a
// longer one an atom. NIL, in any letter case, is kNil with its text as sent.
struct Valor {
  TipoValor tipo = TipoValor::kNil;
  std::string texto;                     // atom, digits, NIL, or the string's or literal's bytes
  std::uint64_t numero = 0;              // kNumero
  bool tiene_seccion = false;            // kAtomo followed by "[...]"
  std::string seccion;                   // the text between the brackets, as sent
  std::optional<std::uint64_t> origen;   // "<n>" after the section
  std::vector<Valor> elementos;          // kLista
};

enum class ClaseRespuesta { kEtiquetada, kNoEtiquetada, kContinuacion };

// A response code: "[UIDVALIDITY 3857529045]" is {"UIDVALIDITY", "3857529045"}.
struct Codigo {
  std::string nombre;      // upper-case
  std::string argumentos;  // as sent after the blank that follows the name; may be empty
};

// One parsed response.
//  - Tagged: `etiqueta`, `nombre` OK, NO or BAD, an optional `codigo`, and `texto`.
//  - Untagged status (OK, NO, BAD, PREAUTH, BYE): `nombre`, optional `codigo`, `texto`.
//  - Other untagged data: `numero` when the name follows one ("* 12 FETCH", "* 3 EXISTS"),
//    `nombre`, and the values after the name in `datos` (CAPABILITY, LIST, LSUB, STATUS, FLAGS,
//    SEARCH, ESEARCH, ENABLED, VANISHED, FETCH, and any other name that follows the grammar).
//  - Continuation: `texto` (free text or base64), with an optional `codigo`.
// `texto` runs as sent to the end of the response, literals included should a server end its
// text with something that looks like one.
struct Respuesta {
  ClaseRespuesta clase = ClaseRespuesta::kNoEtiquetada;
  std::string etiqueta;
  std::optional<std::uint32_t> numero;
  std::string nombre;  // upper-case
  std::optional<Codigo> codigo;
  std::string texto;
  std::vector<Valor> datos;
};

// Parses one complete response (its bytes without the final line end) within `limites`.
// A response that breaks the grammar or a bound: tablon::Error(errnum::kProtocolo).
Respuesta AnalizaRespuesta(std::string_view bytes, const Limites& limites = {});

// Splits a byte stream into responses and parses each.
class Respuestas {
 public:
  explicit Respuestas(Limites limites = {});

  // Room for up to `n` more bytes at the end of the buffer (to receive into without a copy);
  // `Agregados` then says how many were written. After an error, each raises it again.
  char* Reserva(std::size_t n);
  void Agregados(std::size_t n);
  void Agrega(std::string_view datos);

  // The next complete response, or nullopt when more bytes are needed. A bound passed (even by
  // a response not yet complete) or a malformed response: tablon::Error(errnum::kProtocolo),
  // raised again by every later call.
  std::optional<Respuesta> Siguiente();

  // Bytes received but not yet returned as responses.
  std::size_t Pendientes() const { return buffer_.Pendientes(); }

 private:
  [[noreturn]] void Falla(Error error);
  void CompruebaError() const;

  Limites limites_;
  red::BufferRecepcion buffer_;  // its unconsumed bytes start with the response being read
  // Offsets from the response's first byte: where the current line starts, how far it is known
  // to hold no LF, and where the literal being received ends.
  std::size_t linea_ = 0, buscado_ = 0, fin_literal_ = 0;
  bool en_literal_ = false;
  std::optional<Error> error_;
};

// IMAP numbers as text: nullopt for an empty text, a sign, any other non-digit, or a value out
// of range. number: 0..2^32-1; nz-number: 1..2^32-1 without leading zeros; number64: 0..2^63-1.
std::optional<std::uint32_t> AnalizaNumero(std::string_view texto);
std::optional<std::uint32_t> AnalizaNzNumero(std::string_view texto);
std::optional<std::uint64_t> AnalizaNumero64(std::string_view texto);

// A body section of a FETCH response: BODY[...], BINARY[...], RFC822, RFC822.HEADER,
// RFC822.TEXT (the answer to BODY.PEEK[...] is BODY[...]).
struct SeccionFetch {
  std::string nombre;                   // upper-case, without the section
  std::string seccion;                  // between the brackets, as sent; empty for RFC822*
  std::optional<std::uint64_t> origen;  // "<n>" of a partial fetch
  std::optional<std::string> bytes;     // nullopt when the server sent NIL
};

// The items of "* N FETCH (...)". Items not named here are kept as they came in `otros`, named
// in upper case (with "[section]" when they have one).
struct Fetch {
  std::uint32_t numero = 0;  // message sequence number
  std::optional<std::uint32_t> uid;
  std::optional<std::vector<std::string>> flags;
  std::optional<std::uint64_t> modseq;
  std::optional<std::string> internaldate;
  std::optional<std::uint64_t> tamano;  // RFC822.SIZE
  std::vector<SeccionFetch> secciones;
  std::vector<std::pair<std::string, Valor>> otros;
};

// Reads a FETCH response (taken by value: move it in to keep its literals from being copied).
// Not a FETCH response: tablon::Error(errnum::kArgumentoNoValido). A FETCH whose items break the
// grammar (no list, an odd count of names and values, a value of the wrong kind or out of range,
// a sequence number of 0, an item repeated with another value): tablon::Error(errnum::kProtocolo).
Fetch AnalizaFetch(Respuesta respuesta);

// A LIST or LSUB response. The name is as sent (modified UTF-7 unless UTF8=ACCEPT is on), except
// that INBOX in any letter case is "INBOX".
struct Buzon {
  std::vector<std::string> atributos;  // as sent, e.g. "\HasNoChildren"
  std::optional<char> delimitador;     // nullopt for NIL: a flat name space
  std::string nombre;
};

// Not a LIST or LSUB response: tablon::Error(errnum::kArgumentoNoValido). Malformed (attributes
// not a list of atoms, a delimiter that is not one character or NIL, a missing name, extended
// data that is not a list): tablon::Error(errnum::kProtocolo).
Buzon AnalizaBuzon(const Respuesta& respuesta);

// A STATUS response. Items not named here are skipped.
struct EstadoBuzon {
  std::string nombre;  // as in Buzon
  std::optional<std::uint32_t> mensajes, recientes, uid_siguiente, uid_validez, no_vistos, borrados;
  std::optional<std::uint64_t> modseq_mayor, tamano;  // HIGHESTMODSEQ, SIZE
};

// Not a STATUS response: tablon::Error(errnum::kArgumentoNoValido). Malformed (no name, items not
// a list of name and number pairs, a number out of range, an item repeated):
// tablon::Error(errnum::kProtocolo).
EstadoBuzon AnalizaEstadoBuzon(const Respuesta& respuesta);

// Mailbox names in modified UTF-7, from and to UTF-8. Encoding takes well-formed UTF-8 and gives
// the one canonical form; decoding takes only canonical forms (printable ASCII other than "&"
// as itself, "&-" for "&", everything else in one base64 run of UTF-16 per stretch, of minimal
// length, no padding bits set, no surrogate left unpaired), so no two accepted names decode to
// the same text and every decoded name encodes back to the bytes it came from. Both give nullopt
// for what they do not accept, and for U+0000, which no mailbox name holds.
std::optional<std::string> CodificaNombreBuzon(std::string_view utf8);
std::optional<std::string> DecodificaNombreBuzon(std::string_view mutf7);

// How a literal written into a command is sent: synchronizing ("{N}", the caller waits for a
// continuation after its first CRLF before sending the rest) or non-synchronizing ("{N+}",
// LITERAL+ / LITERAL-, sent at once).
enum class Literal { kSincronizado, kSinEspera };

// `texto` as a string for a command: quoted (with "\" before '"' and "\") when every byte is
// 7-bit and neither CR nor LF, else a literal: "{N}\r\n" and the bytes. `EscribeAstring` writes
// an atom instead when `texto` is one (and not NIL, which a reader might take for nothing).
// A NUL byte, which no IMAP string may hold: tablon::Error(errnum::kArgumentoNoValido).
std::string EscribeCadena(std::string_view texto, Literal literal = Literal::kSincronizado);
std::string EscribeAstring(std::string_view texto, Literal literal = Literal::kSincronizado);

}  // namespace tablon::store::imap
