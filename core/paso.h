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
// A routine whose skipped steps must still be counted (the writes a pass could not make, so the
// pass does not end as if they were made) passes a Recuento; one that traps each of a few large
// parts, to report their failures at its end, passes an optional Error.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
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

// A routine's tally of the failed steps of one kind (the writes of a group's work, say): how many,
// and the first one's cause (Error::Motivo, or what() of any other exception) and number. Never fails: a
// cause that cannot be copied for want of memory is left out.
class Recuento {
 public:
  void Anota(const std::exception& e) noexcept;
  std::int64_t Fallos() const { return fallos_; }
  const std::string& Motivo() const { return motivo_; }
  // The first failure's number (tablon::Error's; 0 for any other exception).
  long Numero() const { return numero_; }

 private:
  std::int64_t fallos_ = 0;
  std::string motivo_;
  long numero_ = 0;
};

// The same, counting a failure in `fallos` too: for the steps of a routine that traps everything
// whose failures must still be reported as a count (a write that did not happen).
template <class F>
bool Paso(F&& step, Recuento& fallos) noexcept {
  try {
    step();
    return true;
  } catch (const std::exception& e) {
    NotificaFalloOmitido(e);
    fallos.Anota(e);
    return false;
  }
}

// For a routine that traps each of a few large parts of its work (each server of a pass): the
// same as Paso, keeping the failure in `fallo` (an exception other than tablon::Error becomes one
// with number 0) to report it once the rest is done. Unset when the step completed.
template <class F>
bool Paso(F&& step, std::optional<Error>& fallo) noexcept {
  fallo.reset();
  try {
    step();
    return true;
  } catch (const Error& e) {
    NotificaFalloOmitido(e);
    fallo = e;
  } catch (const std::exception& e) {
    NotificaFalloOmitido(e);
    try {
      fallo = Error(0, e.what());
    } catch (...) {
      fallo.reset();
    }
  }
  return false;
}

}  // namespace tablon
