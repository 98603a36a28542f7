#include "core/fecha.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "core/ascii.h"

namespace tablon {
namespace {

constexpr std::int64_t kSegundosDia = 86400;
// Days from 30 December 1899 to 1 January 1970.
constexpr std::int64_t kDiasHastaUnix = 25569;

// The English names of the weekdays (Sunday first) and of the months, for every text form; the
// abbreviated names are their first three letters.
constexpr const char* kNombresDia[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                       "Thursday", "Friday", "Saturday"};
constexpr const char* kNombresMes[] = {"January", "February", "March",     "April",   "May",      "June",
                                       "July",    "August",   "September", "October", "November", "December"};

std::string_view Abreviatura(const char* nombre) { return std::string_view(nombre).substr(0, 3); }

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
std::int64_t DiasDesdeCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilDesdeDias(std::int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t yy = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

bool EsBisiesto(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DiasDelMes(int y, int m) {
  static constexpr int kDias[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && EsBisiesto(y) ? 29 : kDias[m - 1];
}

// Reads a run of 1..max_digits decimal digits at `pos`; advances `pos`.
std::optional<int> LeeEntero(std::string_view s, size_t& pos, size_t min_digits, size_t max_digits) {
  size_t start = pos;
  while (pos < s.size() && pos - start < max_digits && s[pos] >= '0' && s[pos] <= '9') ++pos;
  if (pos - start < min_digits) return std::nullopt;
  int value = 0;
  std::from_chars(s.data() + start, s.data() + pos, value);
  return value;
}

bool Espera(std::string_view s, size_t& pos, char c) {
  if (pos < s.size() && s[pos] == c) {
    ++pos;
    return true;
  }
  return false;
}

std::string DosDigitos(int v) {
  std::string r(2, '0');
  r[0] = static_cast<char>('0' + (v / 10) % 10);
  r[1] = static_cast<char>('0' + v % 10);
  return r;
}

// "H:mm:ss" (hour without leading zero); leaves pos after the seconds.
std::optional<int> LeeHora(std::string_view s, size_t& pos) {
  auto h = LeeEntero(s, pos, 1, 2);
  if (!h || !Espera(s, pos, ':')) return std::nullopt;
  auto mi = LeeEntero(s, pos, 2, 2);
  if (!mi || !Espera(s, pos, ':')) return std::nullopt;
  auto se = LeeEntero(s, pos, 2, 2);
  if (!se || *h > 23 || *mi > 59 || *se > 59) return std::nullopt;
  return *h * 3600 + *mi * 60 + *se;
}

// The time of day of `p` from seconds since midnight.
void PonHora(PartesFecha& p, int segundos) {
  p.hora = segundos / 3600;
  p.minuto = segundos / 60 % 60;
  p.segundo = segundos % 60;
}

// ---- Date header text -----------------------------------------------------------------------

bool EsLetra(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool EsDigito(char c) { return c >= '0' && c <= '9'; }

// Index in `largos` of the name `palabra` spells, in full or by its first three letters; -1 if none.
template <size_t N>
int BuscaNombre(std::string_view palabra, const char* const (&largos)[N]) {
  for (size_t i = 0; i < N; ++i) {
    const std::string_view largo = largos[i];
    if (IgualSinCaso(palabra, largo) || IgualSinCaso(palabra, Abreviatura(largos[i]))) return static_cast<int>(i);
  }
  return -1;
}

// Skips blanks, line breaks and comments, which nest and may hold backslash-quoted characters.
// False on a comment left open.
bool SaltaCfws(std::string_view s, size_t& pos) {
  size_t nivel = 0;
  for (; pos < s.size(); ++pos) {
    const char c = s[pos];
    if (nivel > 0 && c == '\\') {
      if (++pos == s.size()) return false;
    } else if (c == '(') {
      ++nivel;
    } else if (nivel > 0 && c == ')') {
      --nivel;
    } else if (nivel == 0 && c != ' ' && c != '\t' && c != '\r' && c != '\n') {
      break;
    }
  }
  return nivel == 0;
}

std::string_view LeePalabra(std::string_view s, size_t& pos) {
  const size_t inicio = pos;
  while (pos < s.size() && EsLetra(s[pos])) ++pos;
  return s.substr(inicio, pos - inicio);
}

// A number of min_digits..max_digits digits, refused when more digits follow.
std::optional<int> LeeNumero(std::string_view s, size_t& pos, size_t min_digits, size_t max_digits) {
  auto v = LeeEntero(s, pos, min_digits, max_digits);
  if (!v || (pos < s.size() && EsDigito(s[pos]))) return std::nullopt;
  return v;
}

// The weekday names in full or cut after their third letter or later ("Tue", "Tues", "Thurs").
bool EsDiaSemana(std::string_view palabra) {
  if (palabra.size() < 3) return false;
  for (const std::string_view largo : kNombresDia) {
    if (palabra.size() <= largo.size() && IgualSinCaso(palabra, largo.substr(0, palabra.size()))) return true;
  }
  return false;
}

// "h[h]:m[m][:s[s]]", comments and blanks allowed around the colons; seconds since midnight.
std::optional<int> LeeHoraRfc(std::string_view s, size_t& pos) {
  auto h = LeeNumero(s, pos, 1, 2);
  if (!h || !SaltaCfws(s, pos) || !Espera(s, pos, ':') || !SaltaCfws(s, pos)) return std::nullopt;
  auto mi = LeeNumero(s, pos, 1, 2);
  if (!mi || !SaltaCfws(s, pos)) return std::nullopt;
  int se = 0;
  if (Espera(s, pos, ':')) {
    if (!SaltaCfws(s, pos)) return std::nullopt;
    auto v = LeeNumero(s, pos, 1, 2);
    if (!v || *v > 60) return std::nullopt;
    se = std::min(*v, 59);  // a leap second counts as the one before it
  }
  if (*h > 23 || *mi > 59) return std::nullopt;
  return *h * 3600 + *mi * 60 + se;
}

// A 12-hour clock's "AM" or "PM" at `pos`, moving `hora` (seconds since midnight) to the 24-hour
// clock; an hour of 0 or past 12 is one already, and stays as written. Nothing else is read.
void LeeMeridiano(std::string_view s, size_t& pos, int& hora) {
  size_t p = pos;
  const std::string_view palabra = LeePalabra(s, p);
  const bool am = IgualSinCaso(palabra, "AM"), pm = IgualSinCaso(palabra, "PM");
  if (!am && !pm) return;
  pos = p;
  const int h = hora / 3600;
  if (h == 12 && am) hora -= 12 * 3600;
  if (h >= 1 && h < 12 && pm) hora += 12 * 3600;
}

// The offset at `pos`, its sign first: "+hhmm" or "+hmm", or whole hours "+hh" or "+h"; in minutes.
std::optional<int> LeeDesfase(std::string_view s, size_t& pos) {
  const int signo = s[pos++] == '-' ? -1 : 1;
  const size_t inicio = pos;
  auto v = LeeNumero(s, pos, 1, 4);
  if (!v) return std::nullopt;
  if (pos - inicio <= 2) return signo * *v * 60;
  if (*v % 100 > 59) return std::nullopt;
  return signo * (*v / 100 * 60 + *v % 100);
}

// The zone at `pos` as minutes east of UTC: 0 when there is none or its name is of unknown
// meaning. Refused (std::nullopt) when the offset is malformed.
std::optional<int> LeeZona(std::string_view s, size_t& pos) {
  if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) return LeeDesfase(s, pos);
  const std::string_view nombre = LeePalabra(s, pos);
  // "GMT+1", "UTC-0500": the offset written after the name of UTC.
  if ((IgualSinCaso(nombre, "GMT") || IgualSinCaso(nombre, "UT") || IgualSinCaso(nombre, "UTC")) &&
      pos + 1 < s.size() && (s[pos] == '+' || s[pos] == '-') && EsDigito(s[pos + 1])) {
    return LeeDesfase(s, pos);
  }
  // The North American zones written out: "Eastern Daylight Time", "Pacific Standard Time".
  static constexpr const char* kRegiones[] = {"Eastern", "Central", "Mountain", "Pacific"};
  for (int i = 0; i < 4; ++i) {
    if (!IgualSinCaso(nombre, kRegiones[i])) continue;
    size_t p = pos;
    if (!SaltaCfws(s, p)) break;
    const std::string_view clase = LeePalabra(s, p);
    const bool verano = IgualSinCaso(clase, "Daylight");
    if (!verano && !IgualSinCaso(clase, "Standard")) break;
    pos = p;
    return (verano ? -4 - i : -5 - i) * 60;
  }
  static constexpr struct {
    const char* nombre;
    int horas;
  } kZonas[] = {{"EST", -5}, {"EDT", -4}, {"CST", -6}, {"CDT", -5},
                {"MST", -7}, {"MDT", -6}, {"PST", -8}, {"PDT", -7}};
  for (const auto& z : kZonas) {
    if (IgualSinCaso(nombre, z.nombre)) return z.horas * 60;
  }
  return 0;  // UT, GMT, the military letters and names of unknown meaning
}

// Two-digit years are 1950-2049, three-digit ones count from 1900; so do four digits below 1000,
// as a year counted from 1900 and padded with zeros ("0102" is 2002).
std::optional<int> LeeAnio(std::string_view s, size_t& pos) {
  const size_t inicio = pos;
  auto v = LeeNumero(s, pos, 2, 4);
  if (!v) return std::nullopt;
  if (pos - inicio == 2 || (pos - inicio == 4 && *v < 50)) return *v + (*v < 50 ? 2000 : 1900);
  if (*v < 1000) return *v + 1900;
  return v;
}

}  // namespace

std::int64_t Fecha::Segundos() const {
  // A count read from a file may be anything: outside the calendar the dates can name it is
  // taken as the nearest end, so every later conversion stays within integer range.
  static const double kPrimerDia = static_cast<double>(DiasDesdeCivil(100, 1, 1) + kDiasHastaUnix) - 86399.0 / 86400;
  static const double kUltimoDia = static_cast<double>(DiasDesdeCivil(9999, 12, 31) + kDiasHastaUnix) + 86399.0 / 86400;
  const double dias = std::isnan(dias_) ? 0.0 : std::clamp(dias_, kPrimerDia, kUltimoDia);
  // The fraction is the time of day, also for negative day counts.
  const double entero = std::trunc(dias);
  const double fraccion = std::fabs(dias - entero);
  auto segundos_dia = static_cast<std::int64_t>(std::llround(fraccion * kSegundosDia));
  return static_cast<std::int64_t>(entero) * kSegundosDia + (dias < 0 ? -segundos_dia : segundos_dia);
}

Fecha Fecha::DesdeSegundos(std::int64_t segundos) {
  std::int64_t dias = segundos / kSegundosDia;
  std::int64_t resto = segundos % kSegundosDia;
  // Negative counts keep the time of day as a positive fraction below the whole day.
  if (resto < 0) {
    resto = -resto;
  }
  const double fraccion = static_cast<double>(resto) / kSegundosDia;
  return Fecha(segundos < 0 ? static_cast<double>(dias) - fraccion : static_cast<double>(dias) + fraccion);
}

std::optional<Fecha> Fecha::DesdePartes(const PartesFecha& p) {
  if (p.mes < 1 || p.mes > 12 || p.dia < 1 || p.anio < 100 || p.anio > 9999 ||
      p.dia > DiasDelMes(p.anio, p.mes) || p.hora < 0 || p.hora > 23 || p.minuto < 0 ||
      p.minuto > 59 || p.segundo < 0 || p.segundo > 59) {
    return std::nullopt;
  }
  const std::int64_t dias = DiasDesdeCivil(p.anio, static_cast<unsigned>(p.mes), static_cast<unsigned>(p.dia)) + kDiasHastaUnix;
  const double fraccion = static_cast<double>(p.hora * 3600 + p.minuto * 60 + p.segundo) / kSegundosDia;
  return Fecha(dias < 0 ? static_cast<double>(dias) - fraccion : static_cast<double>(dias) + fraccion);
}

PartesFecha Fecha::Partes() const {
  const std::int64_t total = Segundos();
  std::int64_t dias = total / kSegundosDia;
  std::int64_t resto = total % kSegundosDia;
  if (resto < 0) resto = -resto;
  PartesFecha p;
  CivilDesdeDias(dias - kDiasHastaUnix, p.anio, p.mes, p.dia);
  p.hora = static_cast<int>(resto / 3600);
  p.minuto = static_cast<int>(resto / 60 % 60);
  p.segundo = static_cast<int>(resto % 60);
  return p;
}

Fecha Fecha::DesdeUnix(std::int64_t unix_seconds) {
  std::time_t t = static_cast<std::time_t>(unix_seconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  PartesFecha p{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                tm.tm_sec > 59 ? 59 : tm.tm_sec};
  return DesdePartes(p).value_or(Fecha());
}

std::int64_t Fecha::AUnix() const {
  const PartesFecha p = Partes();
  std::tm tm{};
  tm.tm_year = p.anio - 1900;
  tm.tm_mon = p.mes - 1;
  tm.tm_mday = p.dia;
  tm.tm_hour = p.hora;
  tm.tm_min = p.minuto;
  tm.tm_sec = p.segundo;
  tm.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&tm));
}

Fecha Fecha::Ahora() { return DesdeUnix(static_cast<std::int64_t>(std::time(nullptr))); }

std::string FormatoControl(Fecha f) {
  const PartesFecha p = f.Partes();
  const std::int64_t dias = DiasDesdeCivil(p.anio, static_cast<unsigned>(p.mes), static_cast<unsigned>(p.dia));
  const int semana = static_cast<int>(((dias % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday
  std::string r;
  r.reserve(25);
  r += Abreviatura(kNombresDia[semana]);
  r += ", ";
  r += DosDigitos(p.dia);
  r += ' ';
  r += Abreviatura(kNombresMes[p.mes - 1]);
  r += ' ';
  r += std::to_string(p.anio);
  r += ' ';
  r += DosDigitos(p.hora) + ":" + DosDigitos(p.minuto) + ":" + DosDigitos(p.segundo);
  return r;
}

std::optional<Fecha> LeeFormatoControl(std::string_view s) {
  // "Mon, 01 Jan 1990 00:00:00"; the weekday is checked for form only.
  if (s.size() != 25 || s[3] != ',' || s[4] != ' ') return std::nullopt;
  bool semana_ok = false;
  for (const char* d : kNombresDia) semana_ok |= s.substr(0, 3) == Abreviatura(d);
  if (!semana_ok) return std::nullopt;
  size_t pos = 5;
  PartesFecha p;
  auto dia = LeeEntero(s, pos, 2, 2);
  if (!dia || !Espera(s, pos, ' ')) return std::nullopt;
  int mes = 0;
  for (int i = 0; i < 12; ++i) {
    if (s.substr(pos, 3) == Abreviatura(kNombresMes[i])) mes = i + 1;
  }
  if (mes == 0) return std::nullopt;
  pos += 3;
  if (!Espera(s, pos, ' ')) return std::nullopt;
  auto anio = LeeEntero(s, pos, 4, 4);
  if (!anio || !Espera(s, pos, ' ')) return std::nullopt;
  // The fixed length leaves room for a two-digit hour only.
  auto t = LeeHora(s, pos);
  if (!t || pos != s.size()) return std::nullopt;
  p.anio = *anio;
  p.mes = mes;
  p.dia = *dia;
  PonHora(p, *t);
  return Fecha::DesdePartes(p);
}

std::string FormatoEstado(Fecha f) {
  const PartesFecha p = f.Partes();
  const std::int64_t total = f.Segundos();
  std::int64_t segundos_dia = total % kSegundosDia;
  if (segundos_dia < 0) segundos_dia = -segundos_dia;
  const bool sin_fecha = total / kSegundosDia == 0;
  std::string hora = std::to_string(p.hora) + ":" + DosDigitos(p.minuto) + ":" + DosDigitos(p.segundo);
  if (sin_fecha) return hora;
  // Always four year digits, as the reader wants them (a year before 1000 too).
  std::string anio = std::to_string(p.anio);
  if (p.anio >= 0 && anio.size() < 4) anio.insert(0, 4 - anio.size(), '0');
  std::string r = DosDigitos(p.dia) + "/" + DosDigitos(p.mes) + "/" + anio;
  if (segundos_dia != 0) r += " " + hora;
  return r;
}

std::optional<Fecha> LeeFormatoEstado(std::string_view s) {
  size_t pos = 0;
  // The time alone: the date part is zero (30 December 1899).
  if (s.find('/') == std::string_view::npos) {
    auto t = LeeHora(s, pos);
    if (!t || pos != s.size()) return std::nullopt;
    return Fecha(static_cast<double>(*t) / kSegundosDia);
  }
  auto dia = LeeEntero(s, pos, 1, 2);
  if (!dia || !Espera(s, pos, '/')) return std::nullopt;
  auto mes = LeeEntero(s, pos, 1, 2);
  if (!mes || !Espera(s, pos, '/')) return std::nullopt;
  auto anio = LeeEntero(s, pos, 4, 4);
  if (!anio) return std::nullopt;
  PartesFecha p;
  p.anio = *anio;
  p.mes = *mes;
  p.dia = *dia;
  if (pos != s.size()) {
    if (!Espera(s, pos, ' ')) return std::nullopt;
    auto t = LeeHora(s, pos);
    if (!t || pos != s.size()) return std::nullopt;
    PonHora(p, *t);
  }
  return Fecha::DesdePartes(p);
}

std::string FormatoRfc5322(Fecha f) {
  const std::time_t t = static_cast<std::time_t>(f.AUnix());
  std::tm tm{};
  localtime_r(&t, &tm);
  long zona = tm.tm_gmtoff / 60;
  const char signo = zona < 0 ? '-' : '+';
  if (zona < 0) zona = -zona;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3s, %d %.3s %04d %02d:%02d:%02d %c%02ld%02ld", kNombresDia[tm.tm_wday % 7],
                tm.tm_mday, kNombresMes[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec,
                signo, zona / 60, zona % 60);
  return buf;
}

std::string FormatoRfc5322(Fecha f, int zona) {
  if (zona < -5999 || zona > 5999) return FormatoRfc5322(f);
  // The clock of that zone is UTC moved by the offset: no zone file is asked.
  const std::int64_t reloj = f.AUnix() + std::int64_t{zona} * 60;
  std::int64_t dias = reloj / kSegundosDia;
  std::int64_t resto = reloj % kSegundosDia;
  if (resto < 0) {
    resto += kSegundosDia;
    --dias;
  }
  int anio = 0, mes = 0, dia = 0;
  CivilDesdeDias(dias, anio, mes, dia);
  if (anio < 1900 || anio > 9999) return FormatoRfc5322(f);
  const int semana = static_cast<int>(((dias % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday
  const int z = zona < 0 ? -zona : zona;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3s, %d %.3s %04d %02d:%02d:%02d %c%02d%02d", kNombresDia[semana], dia,
                kNombresMes[mes - 1], anio, static_cast<int>(resto / 3600), static_cast<int>(resto / 60 % 60),
                static_cast<int>(resto % 60), zona < 0 ? '-' : '+', z / 60, z % 60);
  return buf;
}

std::optional<Fecha> LeeFechaRfc5322(std::string_view s) {
  if (const auto f = LeeFechaZonaRfc5322(s)) return f->fecha;
  return std::nullopt;
}

std::optional<FechaConZona> LeeFechaZonaRfc5322(std::string_view s) {
  size_t pos = 0;
  if (!SaltaCfws(s, pos)) return std::nullopt;
  std::string_view palabra = LeePalabra(s, pos);
  if (!palabra.empty()) {
    if (!EsDiaSemana(palabra) || !SaltaCfws(s, pos)) return std::nullopt;
    while (Espera(s, pos, ',')) {
      if (!SaltaCfws(s, pos)) return std::nullopt;
    }
    palabra = LeePalabra(s, pos);
  }
  std::optional<int> dia, anio, hora, zona = 0;
  int mes = -1;
  if (!palabra.empty()) {
    // "Tue Nov  3 10:00:00 [zone] 2026"
    mes = BuscaNombre(palabra, kNombresMes);
    if (mes < 0 || !SaltaCfws(s, pos) || !(dia = LeeNumero(s, pos, 1, 2)) || !SaltaCfws(s, pos) ||
        !(hora = LeeHoraRfc(s, pos)) || !SaltaCfws(s, pos) || !(zona = LeeZona(s, pos)) ||
        !SaltaCfws(s, pos) || !(anio = LeeAnio(s, pos)) || !SaltaCfws(s, pos) || pos != s.size()) {
      return std::nullopt;
    }
  } else {
    // "3 Nov 2026 10:00:00 +0100", or "03-Nov-26 ..."
    if (!(dia = LeeNumero(s, pos, 1, 2)) || !SaltaCfws(s, pos)) return std::nullopt;
    if (Espera(s, pos, '-') && !SaltaCfws(s, pos)) return std::nullopt;
    mes = BuscaNombre(LeePalabra(s, pos), kNombresMes);
    if (mes < 0 || !SaltaCfws(s, pos)) return std::nullopt;
    if (Espera(s, pos, '-') && !SaltaCfws(s, pos)) return std::nullopt;
    if (!(anio = LeeAnio(s, pos)) || !SaltaCfws(s, pos) || !(hora = LeeHoraRfc(s, pos))) return std::nullopt;
    // Then a 12-hour clock's AM or PM, the zone, and whatever text follows, unread.
    if (SaltaCfws(s, pos)) {
      LeeMeridiano(s, pos, *hora);
      if (SaltaCfws(s, pos) && !(zona = LeeZona(s, pos))) return std::nullopt;
    }
  }
  ++mes;
  if (*anio < 1900 || *dia < 1 || *dia > DiasDelMes(*anio, mes)) return std::nullopt;
  const std::int64_t unix_seconds =
      DiasDesdeCivil(*anio, static_cast<unsigned>(mes), static_cast<unsigned>(*dia)) * kSegundosDia + *hora -
      std::int64_t{*zona} * 60;
  // A day's margin at each end keeps the local date, whatever the zone, within the calendar.
  static const std::int64_t kPrimero = DiasDesdeCivil(1900, 1, 2) * kSegundosDia;
  static const std::int64_t kUltimo = DiasDesdeCivil(9999, 12, 31) * kSegundosDia;
  if (unix_seconds < kPrimero || unix_seconds >= kUltimo) return std::nullopt;
  return FechaConZona{Fecha::DesdeUnix(unix_seconds), *zona};
}

}  // namespace tablon
