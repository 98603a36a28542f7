// What the news work shows while it runs: the article it is writing or fetching (the caption of
// the window's label Mensaje) and how far a stage of a group's work has come. The news layer
// reports here and knows nothing of how it is shown; the program's window implements it
// (app/main_frm.h) and installs itself as the program's receiver when it is made.
#pragma once

#include <cstdint>
#include <string>

namespace tablon {

// The stage of a group's work that a progress report counts.
enum class Etapa { Escribiendo, Descargando };

class Avance {
 public:
  virtual ~Avance() = default;
  // The article being worked on (its subject): the label Mensaje now reads `texto`. May raise (a failure to
  // paint): the caller's step fails as any other.
  virtual void Articulo(const std::string& texto) = 0;
  // `hecho` of the `total` items of a stage of the current group's work are done. Called once
  // with 0 when the stage starts, then once per item: cheap calls. Never raises.
  virtual void Progreso(Etapa etapa, std::int64_t hecho, std::int64_t total) = 0;
};

// The program's receiver, or nullptr before one is installed (then nothing is reported).
Avance* AvanceDelPrograma();
void FijaAvanceDelPrograma(Avance* avance);

}  // namespace tablon
