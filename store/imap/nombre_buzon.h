// Folder name <-> one part of an IMAP mailbox name, a pure mapping. A folder name is any text
// (bytes), exact and case-sensitive; a mailbox name part must not hold the server's hierarchy
// delimiter, is case-insensitive when it is INBOX, and some servers refuse parts that are
// directory names of their own storage ("cur", "new", "tmp", ".", "..", a leading "." or "~"), the LIST
// wildcards "%" and "*", control characters or text that is not UTF-8. The mapping:
//  - '%' is the escape character: '%', '*', '/', the delimiter, NUL and the other control
//    characters (below 0x20, and 0x7F), and every byte of text that is not UTF-8, become %XX
//    (upper-case hex);
//  - a leading '.' or '~' becomes %2E or %7E (hidden directories, home directories); "cur", "new", "tmp" and "INBOX" in any letter case get their
//    first letter escaped ("%63ur", "%49NBOX");
//  - the empty name is "%" alone;
//  - the result, now UTF-8, is written in modified UTF-7 (RFC 3501 §5.1.3) as servers take it.
// Only the canonical form decodes: a mailbox whose name is not exactly the encoding of some
// folder name (INBOX, "a%zz", a name another program made with "/" inside) is not a folder of
// the store and is never touched.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tablon::store::imap {

// The mailbox name part of folder `nombre` for a server whose delimiter is `delimitador`
// ('\0' for a flat name space). Never fails.
std::string CodificaParteBuzon(std::string_view nombre, char delimitador);
// The folder name of mailbox name part `parte`; nullopt when it is not a canonical encoding.
std::optional<std::string> DecodificaParteBuzon(std::string_view parte, char delimitador);

}  // namespace tablon::store::imap
