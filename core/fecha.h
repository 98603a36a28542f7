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
//
// A third form is the Date header: written in one form for the items of the store
// (FormatoRfc5322), read in all the forms news articles carry (LeeFechaRfc5322). All three use the
// same English day and month names, whatever the machine's locale.
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

// The RFC 5322 date text of `f` taken as local time, with the local zone's offset at that
// instant: "ddd, d mmm yyyy hh:mm:ss +hhmm" ("Mon, 1 Jan 1990 00:00:00 +0100"), the day without a
// leading zero. Always a date text (a count outside the calendar is taken as Segundos() says).
std::string FormatoRfc5322(Fecha f);
// The same instant on the clock of the zone `zona` minutes east of UTC, with that offset
// ("Sun, 1 Jun 2025 00:00:00 +0200"). A zone beyond what "+hhmm" can write (99:59), or a clock
// that would fall outside the years 1900-9999 there, gives the local form above instead.
std::string FormatoRfc5322(Fecha f, int zona);

// The instant of an RFC 5322 date text (as the Date header of a news article), in local time as
// every Fecha; std::nullopt when it is no date.
//
// Read: "[ddd,] d[d] mmm yyyy h[h]:m[m][:s[s]] [AM|PM] [zone] [anything]" with what news articles
// carry besides: blanks, tabs, line breaks and (nested) comments between any two parts; weekday
// and month names in any letter case, abbreviated or in full, the weekday cut after its third
// letter or later ("Thurs"), optional, followed by any number of commas and never checked
// against the date; "-" between day, month and year ("03-Nov-26"); two-digit years (00-49 are
// 2000-2049, 50-99 1950-1999), three-digit ones (1900 added) and four digits below 1000 read the
// same way ("0102" is 2002); a 60th second (a leap second, read as 59); a 12-hour clock's AM or
// PM; and the form "ddd mmm d hh:mm[:ss] [zone] yyyy" of asctime and date(1), with nothing after
// the year. The zone is "+hhmm", "+hmm" or whole hours "+h[h]" (or "-"), the same after GMT, UT
// or UTC ("GMT+1"), or UT, GMT or one of the North American EST, EDT, CST, CDT, MST, MDT, PST,
// PDT, or those written out ("Eastern Daylight Time"); any other name (military letters
// included, whose signs were defined the wrong way round) is taken as UTC, and so is a missing
// zone. Whatever follows the zone of the first form is left unread.
// Refused: a year before 1900 or after 9999, a part out of range (day 32, 29 February of a common
// year, hour 24, minute 60, second 61, zone minutes 60), a zone offset of five digits or more,
// a missing minute, an unclosed comment within the date or time, anything after the year of the
// asctime form.
std::optional<Fecha> LeeFechaRfc5322(std::string_view text);

// The same, with the zone the text gives, in minutes east of UTC: the "+hhmm" or "-hhmm" as
// written (also after GMT, UT or UTC), a North American name as RFC 5322 maps it (EST -300,
// PDT -420, "Eastern Daylight Time" -240, ...), and 0 where the text has no zone that says where
// it was written: none, UT, GMT, UTC, "-0000", a military letter or another name.
struct FechaConZona {
  Fecha fecha;
  int zona = 0;
};
std::optional<FechaConZona> LeeFechaZonaRfc5322(std::string_view text);

}  // namespace tablon
