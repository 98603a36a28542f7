// Where an IMAP store is: the text of a location ("imap://USER@HOST[:PORT][/PREFIX]",
// "imaps://…") read into its parts, and the parts written back for messages. Pure: nothing here
// touches the network or the credentials.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tablon::store::imap {

inline constexpr std::uint16_t kPuertoImap = 143;
inline constexpr std::uint16_t kPuertoImaps = 993;

// "imap://USER@HOST[:PORT][/PREFIX]" or "imaps://…". HOST as the news client takes it ("name",
// "[v6addr]"); USER and PREFIX percent-decoded ("%40" for "@" in a user name); PREFIX is a
// folder path whose parts are separated by "/" (any later "/" separates parts), e.g. "news" or
// "Archivo/news"; empty for the account's root.
struct UbicacionImap {
  bool tls_implicito = false;  // imaps://
  std::string usuario;
  std::string host;
  std::uint16_t puerto = kPuertoImap;
  std::vector<std::string> prefijo;
  // "imap://user@host:port/prefix" as messages name it (no password is ever part of it).
  std::string Describe() const;
};

// nullopt when `texto` does not start with "imap://" or "imaps://" (letter case ignored): a
// location of another backend. A malformed one (no user, no host, a bad port, a password in it,
// control characters, a bad percent escape, an empty prefix part):
// tablon::Error(errnum::kArgumentoNoValido) with a Spanish text that says what is wrong.
std::optional<UbicacionImap> AnalizaUbicacionImap(std::string_view texto);

}  // namespace tablon::store::imap
