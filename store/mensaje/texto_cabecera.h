// Header text of the items of either store backend: the pure mappings between values and header
// lines, apart from any file or connection. Two kinds of header are written:
//  - display headers (Subject, From, To, ...): what a mail client shows. Printable ASCII goes
//    out as it is (so encoded words already in a value are decoded by the client); a value with
//    8-bit bytes becomes RFC 2047 encoded words; CR, LF, NUL and TAB are shown as blanks and never
//    start a header line of their own. A display header may lose detail; it is never read back
//    when an exact copy exists.
//  - exact headers (our X-Tablon-*): the value percent-encoded, so every byte comes back.
// Every line is at most 998 bytes, always; lines are folded near 78 (76 for one holding encoded
// words); readers unfold. See LineaCabecera and LineaCabeceraExacta for where each kind folds.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tablon::store::mensaje {

// Offset just past the first empty line of `datos` ("\n" or "\r\n" alone on a line), searching
// line starts from `desde`; npos when there is none yet.
size_t FinDeCabecera(std::string_view datos, size_t desde = 0);

// Percent-encoding of every byte outside '!'..'~' and of '%' and ';' (used as a separator).
// The result holds no blank, so it can be folded anywhere and unfolded by removing blanks.
std::string CodificaExacto(std::string_view valor);
// The same, appended to `destino`.
void AgregaCodificaExacto(std::string& destino, std::string_view valor);
// The reverse. Blanks and line ends are no part of the encoding and are skipped wherever they
// stand, inside a %XX escape too, so a value folded anywhere reads back exactly. A '%' not
// followed by two hex digits is kept as it is (a hand-edited file still reads).
std::string DecodificaExacto(std::string_view codificado);

// Base64 (RFC 4648) with lines of `ancho` characters ended by "\n" (0: one line, no "\n").
std::string Base64(std::string_view bytes, size_t ancho = 0);
// Reverse of Base64; blanks and line ends are skipped; nullopt on any other foreign character.
std::optional<std::string> DeBase64(std::string_view texto);

bool EsAsciiImprimible(std::string_view s);  // every byte in ' '..'~'

// The display form of a header value (see above). With `es_direccion`, a value of the form
// "phrase <addr>" keeps " <addr>" as it is and encodes only the phrase.
std::string TextoVisible(std::string_view valor, bool es_direccion = false);
// The same without a copy where the value is already its own display form: either `valor`
// itself or `buf`, filled.
std::string_view TextoVisible(std::string_view valor, bool es_direccion, std::string& buf);

// "Name: value\n" of a display header. Folds go only before a blank the value already has (a
// line end is inserted, nothing else), so unfolding as RFC 5322 says (removing the line ends)
// gives back the value exactly. A word (a run without blanks) too long for a line of 78 is
// written as RFC 2047 encoded words instead, where the field allows them:
//  - Subject, Comments: any such word;
//  - From, To, Cc, Bcc, Reply-To, Sender: a word of a phrase, that is an atom, or a whole quoted
//    string without blanks (its text replaces it); not a word inside a quoted string with blanks,
//    a comment or an <address>;
//  - any other field (Message-ID, In-Reply-To, References, Date, ...): none.
// The encoded words are "B", in UTF-8 when the word is valid UTF-8 and ISO-8859-1 otherwise, at
// most 75 bytes each, never splitting a UTF-8 character, folded between one another (readers drop
// the blanks between adjacent encoded words, RFC 2047 section 6.2). The blanks that separate such
// a word from a neighbour a reader decodes too (another long word, or an encoded word the value
// already holds) go inside the encoded text, so a reader that unfolds and decodes sees the value
// exactly. An encoded word the value already holds is never encoded again while it fits on a line
// of its own (998 bytes): readers decode it as the value means.
// A word that may not be encoded goes on a line of its own, at most 998 bytes (for the first
// word, after a fold right after the colon when it does not fit after the name); a word longer
// than that, which no header line can hold (an identifier of more than 997 bytes), is cut into
// lines of 998: a reader sees a blank at each cut, every other byte kept.
std::string LineaCabecera(std::string_view nombre, std::string_view valor);
// "Name: value\n" for a value without blanks (CodificaExacto), folded every ~76 bytes (between
// %XX escapes, for a person's eye): each fold inserts a line end and a NEW blank. The encoding
// has no blank of its own and its reading (DecodificaExacto) skips blanks and line ends wherever
// they are, so a fold anywhere reads back exactly, whether the field is read from the raw bytes
// (as LeeCabeceraItem does), unfolded by our LeeCampos (bloque_encabezados.h), or unfolded as RFC 5322 says (line ends
// removed, blanks kept) and then decoded. Lines stay within 78 bytes (for a name under 76).
std::string LineaCabeceraExacta(std::string_view nombre, std::string_view codificado);
// The same two, appended to `destino`.
void AgregaLineaCabecera(std::string& destino, std::string_view nombre, std::string_view valor);
void AgregaLineaCabeceraExacta(std::string& destino, std::string_view nombre, std::string_view codificado);

// Without leading and trailing blanks and tabs.
std::string_view Recorta(std::string_view s);

}  // namespace tablon::store::mensaje
