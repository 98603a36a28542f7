// The two failure styles of Tablón's routines, made visible at the call site.
//
// A routine either traps nothing (a failure of any step reaches its caller: plain code, nothing
// to write), or it traps everything: each step runs through `Paso`, and a step that fails is
// skipped and the routine goes on with the next one, reporting nothing to its caller. Skipped
// steps are still told to an observer (the panel's verbose trace), so nothing vanishes unseen.
//
//   Paso([&] { m->msgnum = ATexto(campo); });   // a bad number leaves msgnum as it was
//
// Only `std::exception` is trapped; anything else is a programming error and goes on unwinding.
#pragma once

#include <exception>
#include <functional>
#include <string>

#include "core/error.h"

namespace tablon {

// Called with the description of every failure that `Paso` skips. Empty by default.
void FijaObservadorDeFallos(std::function<void(const std::string&)> observer);
void NotificaFalloOmitido(const std::exception& e) noexcept;

// Runs one step of a routine that traps everything. Returns true when the step completed,
// false when it failed and was skipped.
template <class F>
bool Paso(F&& step) noexcept {
  try {
    step();
    return true;
  } catch (const std::exception& e) {
    NotificaFalloOmitido(e);
    return false;
  }
}

// The same, telling the failure's number to `numero` (tablon::Error's; 0 for any other
// exception, and when the step completed): for a routine that treats one outcome apart, as an
// article the server does not have.
template <class F>
bool Paso(F&& step, long& numero) noexcept {
  numero = 0;
  return Paso([&] {
    try {
      step();
    } catch (const Error& e) {
      numero = e.Number();
      throw;
    }
  });
}

}  // namespace tablon
