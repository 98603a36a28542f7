// Header text of the Maildir items: the pure mappings between values and header lines, apart
// from any file. Two kinds of header are written:
//  - display headers (Subject, From, To, ...): what a mail client shows. Printable ASCII goes
//    out as it is (so encoded words already in a value are decoded by the client); a value with
//    8-bit bytes becomes RFC 2047 encoded words; CR, LF, NUL and TAB are shown as blanks and never
//    start a header line of their own. A display header may lose detail; it is never read back
//    when an exact copy exists.
//  - exact headers (our X-Tablon-*): the value percent-encoded, so every byte comes back.
// Lines are folded at blanks near 78 bytes and never exceed 998; readers unfold.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tablon::store::maildir {

// Offset just past the first empty line of `datos` ("\n" or "\r\n" alone on a line), searching
// line starts from `desde`; npos when there is none yet.
size_t FinDeCabecera(std::string_view datos, size_t desde = 0);

// Percent-encoding of every byte outside '!'..'~' and of '%' and ';' (used as a separator).
// The result holds no blank, so it can be folded anywhere and unfolded by removing blanks.
std::string CodificaExacto(std::string_view valor);
// The same, appended to `destino`.
void AgregaCodificaExacto(std::string& destino, std::string_view valor);
// The reverse; blanks (left by folding) are skipped. A '%' not followed by two hex digits is
// kept as it is (a hand-edited file still reads).
std::string DecodificaExacto(std::string_view codificado);

// Base64 (RFC 4648) with lines of `ancho` characters ended by "\n" (0: one line, no "\n").
std::string Base64(std::string_view bytes, size_t ancho = 0);
// Reverse of Base64; blanks and line ends are skipped; nullopt on any other foreign character.
std::optional<std::string> DeBase64(std::string_view texto);

bool EsUtf8Valido(std::string_view s);
bool EsAsciiImprimible(std::string_view s);  // every byte in ' '..'~'

// The display form of a header value (see above). With `es_direccion`, a value of the form
// "phrase <addr>" keeps " <addr>" as it is and encodes only the phrase.
std::string TextoVisible(std::string_view valor, bool es_direccion = false);
// The same without a copy where the value is already its own display form: either `valor`
// itself or `buf`, filled.
std::string_view TextoVisible(std::string_view valor, bool es_direccion, std::string& buf);

// "Name: value\n", folded at blanks (a fold inserts "\n" before an existing blank, so unfolding
// gives back the value exactly); a word longer than a line allows is cut hard.
std::string LineaCabecera(std::string_view nombre, std::string_view valor);
// "Name: value\n" for a value without blanks (CodificaExacto), folded every ~76 bytes.
std::string LineaCabeceraExacta(std::string_view nombre, std::string_view codificado);
// The same two, appended to `destino`.
void AgregaLineaCabecera(std::string& destino, std::string_view nombre, std::string_view valor);
void AgregaLineaCabeceraExacta(std::string& destino, std::string_view nombre, std::string_view codificado);

struct CampoCabecera {
  std::string nombre;
  std::string valor;  // unfolded (line ends of folds removed), leading blanks removed
};
// The fields of a header block, in order, up to its first empty line. Lines may end in LF or
// CRLF; lines that are neither fields nor continuations are skipped.
std::vector<CampoCabecera> LeeCampos(std::string_view bloque);

// Letter case ignored (ASCII).
bool IgualSinCaso(std::string_view a, std::string_view b);
// Without leading and trailing blanks and tabs.
std::string_view Recorta(std::string_view s);

}  // namespace tablon::store::maildir
