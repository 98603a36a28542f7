// Credentials from a netrc file (the format ftp(1), curl and fetchmail read): tokens separated
// by blanks or line ends; "machine NAME" starts an entry, "default" the entry for every other
// host; "login", "password" and "account" take a value; "macdef NAME" is followed by a macro
// body that ends at the first empty line. Values may be quoted ("with blanks"; a backslash
// escapes the next character). "#" at the start of a token comments out the rest of the line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tablon::nntp {

struct CredencialesNetrc {
  std::string usuario;
  std::string contrasena;
};

// The entry for `maquina` (host names compared without regard to letter case), else the
// "default" entry, else nullopt. Pure: `texto` is the file's content.
std::optional<CredencialesNetrc> BuscaEnNetrc(std::string_view texto, std::string_view maquina);

// Reads `ruta` and looks `maquina` up; a missing or unreadable file holds no credentials.
std::optional<CredencialesNetrc> LeeNetrc(const std::string& ruta, std::string_view maquina);

// $HOME/.netrc, or "" without a home.
std::string RutaNetrcPorDefecto();

}  // namespace tablon::nntp
