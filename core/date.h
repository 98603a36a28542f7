// Dates as Tablón keeps them: a day count, whole part = days since 30 December 1899, fraction =
// time of day (so 1 January 1990 00:00:00 is 32874.0). Calendar conversion is proleptic
// Gregorian; negative day counts are allowed as the fraction-as-time convention of mail and
// office programs has them (the time of day is the absolute value of the fraction).
//
// Two text forms:
//  - the news control's "ddd, dd mmm yyyy hh:mm:ss" with English abbreviations
//    ("Mon, 01 Jan 1990 00:00:00");
//  - the state file's fixed text: "dd/mm/yyyy", then a blank and "H:mm:ss" when the time is not
//    midnight; the time alone when the date part is zero ("02/01/1990 7:05:46", "7:05:46").
// Each reader accepts what its writer writes and refuses (std::nullopt) what is not a date.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tablon {

struct PartesFecha {
  int anio = 1899, mes = 12, dia = 30;  // calendar date
  int hora = 0, minuto = 0, segundo = 0;
};

class Fecha {
 public:
  constexpr Fecha() = default;
  constexpr explicit Fecha(double dias) : dias_(dias) {}

  constexpr double Dias() const { return dias_; }
  // Whole seconds since 30 December 1899 00:00:00, rounded to the nearest second. A count before
  // year 100 or after year 9999 (as a damaged file may hold) counts as that range's nearest end,
  // one that is not a number as day 0; the conversions below all go through here.
  std::int64_t Segundos() const;

  // Out-of-range parts (month 13, day 32, hour 24, ...) are refused with std::nullopt.
  static std::optional<Fecha> DesdePartes(const PartesFecha& p);
  static Fecha DesdeSegundos(std::int64_t segundos);
  PartesFecha Partes() const;

  // The current local date and time, to the second.
  static Fecha Ahora();
  // Local date and time from a Unix time, and back (local time zone of the machine).
  static Fecha DesdeUnix(std::int64_t unix_seconds);
  std::int64_t AUnix() const;

  friend constexpr bool operator==(Fecha a, Fecha b) { return a.dias_ == b.dias_; }

 private:
  double dias_ = 0.0;
};

// 1 January 1990 00:00:00: the check date of a server without a state file and the
// last-message date of every newly discovered group.
inline constexpr Fecha kFechaInicial{32874.0};

// "ddd, dd mmm yyyy hh:mm:ss", English abbreviations.
std::string FormatoControl(Fecha f);
std::optional<Fecha> LeeFormatoControl(std::string_view text);

// The state file's date text (see above).
std::string FormatoEstado(Fecha f);
std::optional<Fecha> LeeFormatoEstado(std::string_view text);

}  // namespace tablon
