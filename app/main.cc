// tablon: see app/programa.h.
#include "app/programa.h"

int main(int argc, char** argv) { return tablon::EjecutaPrograma(argc, argv); }
