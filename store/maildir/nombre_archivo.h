// Maildir file names, a pure mapping: "BASE" in new/, "BASE:2,FLAGS" in cur/. BASE identifies
// an item for its whole life (a mail client renames the file to change FLAGS and moves it from
// new/ to cur/, never changing BASE). FLAGS are single letters in ASCII order: among them F
// (flagged for follow-up) and S (seen, i.e. read); the store keeps any others (R, T, D, P, ...).
//
// The store's bases sort in creation order: "SSSSSSSSSS.MUUUUUUPpidQcccccccccc.host" with the
// Unix seconds, microseconds and a per-process counter zero-padded.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tablon::store::maildir {

struct NombreItem {
  std::string base;
  std::string banderas;  // the letters after ":2,"; empty when there is no such part
};

NombreItem SeparaNombre(std::string_view archivo);
// The same flags as a view into `archivo` (no copy): also from what follows a base (":2,FS").
std::string_view BanderasDe(std::string_view archivo);
// "base:2,FLAGS" with the letters sorted and each once.
std::string ComponNombre(std::string_view base, std::string_view banderas);
bool TieneBandera(std::string_view banderas, char bandera);
// `banderas` with `bandera` present or absent, sorted.
std::string ConBandera(std::string_view banderas, char bandera, bool presente);

// A new base; `host` is cleaned of characters that Maildir names cannot hold.
std::string NuevaBase(std::int64_t segundos, long microsegundos, long pid, std::uint32_t contador,
                      std::string_view host);

}  // namespace tablon::store::maildir
