// Credentials from a netrc file, read as ftp(1) and curl read it.
//
//  - Tokens are separated by blanks and line ends. Where a keyword is expected, a token starting
//    with "#" comments out the rest of the line; where a value is expected (a host name, a login,
//    a password, ...) "#" is an ordinary character, so "password #Xy9" gives "#Xy9".
//  - A value may be double-quoted to hold blanks; inside the quotes a backslash escapes the next
//    character ("\n", "\r" and "\t" stand for those controls). Outside quotes a backslash also
//    escapes the next character.
//  - "machine NAME" starts an entry; "login", "password" and "account" take a value; other
//    keywords are skipped. "macdef NAME" is followed by a macro body, skipped up to and including
//    the first empty line.
//  - "default" starts the entry for every host no "machine" entry names: the first entry whose
//    name matches (without regard to letter case) wins, wherever a "default" stands.
//
// Callers: the news session (nntp/sesion.h), when a server asks for credentials and no UserName
// is set; the IMAP store's session (store/imap/sesion_imap.h), for the location's user.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tablon::red {

struct CredencialesNetrc {
  std::string usuario;
  std::string contrasena;
};

// The entry for `maquina`, else the "default" entry, else nullopt. Given a `login`, only entries
// with that login or none count (an account's own entry among several for one host). Pure:
// `texto` is the file's content. Raises nothing.
std::optional<CredencialesNetrc> BuscaEnNetrc(std::string_view texto, std::string_view maquina,
                                              std::optional<std::string_view> login = std::nullopt);

// Reads `ruta` and looks `maquina` up. A missing or unreadable file, or one that is not a
// regular file (/dev/null), holds no credentials (nullopt). A file that holds a password
// anywhere and that group or others may read or write (mode & 077) is refused whole, as ftp(1)
// does: tablon::Error(errnum::kCredenciales) with a Spanish text naming the file, its mode and
// the fix. Call it only when credentials are needed, so that the refusal shows where it matters.
std::optional<CredencialesNetrc> LeeNetrc(const std::string& ruta, std::string_view maquina,
                                          std::optional<std::string_view> login = std::nullopt);

// $HOME/.netrc, or "" without a home.
std::string RutaNetrcPorDefecto();

}  // namespace tablon::red
