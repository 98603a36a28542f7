// The folder filter language (Folder::Find's), a pure parser for the folders of either store
// backend. One form is known:
//   [Asunto] = "text"
// with blanks allowed around '=' and at either end, and a double quote inside the text written
// twice. The caller compares subjects to the text with letter case ignored.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tablon::store::mensaje {

// The text of an [Asunto] filter; nullopt for any other filter.
std::optional<std::string> LeeFiltroAsunto(std::string_view filtro);

}  // namespace tablon::store::mensaje
