// Test-only fault injection: ending the process in the middle of a pass, as a crash or a kill
// would, at an exact point of its writing.
//
// Every write operation of the store's file-system layer (opening a file for writing, write,
// rename, unlink, mkdir) and of the state-file writer (create, write, sync, rename) calls
// `PuntoDeEscritura` first. When the environment variable TABLON_PRUEBA_ABORTA_EN holds a
// positive number N (read once, at the first call), the N-th such call ends the process at once
// with _exit(86), before the operation: no destructor runs, nothing is flushed, exactly as if
// the process had been killed there. Without the variable the call only counts.
//
// This exists for the crash tests (tests/fiabilidad_choque_test.cc); nothing else may set it.
#pragma once

namespace tablon {

inline constexpr int kSalidaAbortoPrueba = 86;

void PuntoDeEscritura() noexcept;

}  // namespace tablon
