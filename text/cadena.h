// The field splitter used by every small parser of Tablón (state-file lines, overview lines,
// dotted group names): cut the first field off a text at a separator.
#pragma once

#include <string>
#include <string_view>

namespace tablon {

// Splits `source` at the first occurrence of `separator` (exact, case-sensitive): `head`
// receives the text before it, `rest` the text after it (empty when the separator ends the
// source). Without an occurrence, `head` is the whole source and `rest` is empty. An empty
// separator is found at the start: head empty, rest the whole source. `rest` may be the same
// object as `source` (callers consume a text field by field that way); `head` must not be.
// Texts of any length; never fails.
void SeparaCadena(const std::string& source, std::string_view separator, std::string& head,
                  std::string& rest);

// The same cut on views, for hot loops: no copies. `rest` may alias `source`.
void SeparaCadena(std::string_view source, std::string_view separator, std::string_view& head,
                  std::string_view& rest) noexcept;

}  // namespace tablon
