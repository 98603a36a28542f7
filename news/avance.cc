#include "news/avance.h"

namespace tablon {

namespace {
Avance* receptor = nullptr;
}

Avance* AvanceDelPrograma() { return receptor; }
void FijaAvanceDelPrograma(Avance* avance) { receptor = avance; }

}  // namespace tablon
