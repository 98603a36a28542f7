// The header block of a message, read as it stands in the bytes: the one scanner of header
// lines of the item's bytes, whichever store backend holds them. The item reader
// (LeeCabeceraItem) walks the fields of an item's bytes with it, the item writer (PareceMensaje)
// asks it whether a body is itself a whole message, and LeeCampos gives copies of the fields,
// unfolded, to whoever wants them. Nothing here touches a file; only LeeCampos and Desplegado
// allocate, and only they can fail (for want of memory).
//
// What a block is, for all of them: lines up to the first empty one; a line ends in LF or CRLF
// (the last one may have no end). A line that starts with a blank or a tab continues the line
// before it. A field is a line "Name:value" whose name is not empty and holds no blank or tab,
// together with its continuation lines. Any other line, with its continuation lines, and
// continuation lines at the start of the block belong to no field.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tablon::store::mensaje {

// One field of a header block as it stands in the bytes, or a run of lines that belong to none.
struct CampoCrudo {
  bool es_campo = false;  // false: lines that belong to no field (nombre empty, crudo their bytes)
  std::string_view nombre;
  // From the value's first non-blank byte on the field's first line to the end of its last
  // continuation line, the line ends of the folds included (a one-line value is that line's
  // value as it is); empty for a value of blanks only.
  std::string_view crudo;
  bool plegado = false;  // continuation lines follow the first one
};

// Walks a header block, field by field, without copying anything: the views point into the
// bytes given, which must outlive the walk.
class LectorEncabezados {
 public:
  explicit LectorEncabezados(std::string_view bloque) noexcept : bloque_(bloque) {}

  // The next field, or run of lines of no field, into `campo`. False at the end of the block
  // (its empty line, or the end of the bytes), `campo` then unchanged; false from then on.
  bool Siguiente(CampoCrudo& campo) noexcept;

  // Once Siguiente has returned false: the offset just past the block's empty line, where the
  // body starts (as FinDeCabecera finds it); npos when the bytes end without a whole empty line
  // (a last line "\r" with no LF is no whole one).
  size_t FinBloque() const noexcept { return fin_; }

 private:
  // The line starting at `i`: its end `fin` without the line end, and `sig`, the next line's
  // start (past the bytes' end for a last line without a LF).
  void Linea(size_t i, size_t& fin, size_t& sig) const noexcept;

  std::string_view bloque_;
  size_t pos_ = 0;
  size_t fin_ = std::string_view::npos;
};

// The value of `campo` unfolded: each line end of a fold ("\n" or "\r\n") removed, the blanks
// kept. Returns `campo.crudo` itself when there is no fold, otherwise `buf`, filled.
std::string_view Desplegado(const CampoCrudo& campo, std::string& buf);

struct CampoCabecera {
  std::string nombre;
  std::string valor;  // unfolded (line ends of folds removed), leading blanks removed
};
// Copies of the fields of a header block, in order, values unfolded; the lines of no field are
// skipped. Fails only for want of memory.
std::vector<CampoCabecera> LeeCampos(std::string_view bloque);

}  // namespace tablon::store::mensaje
