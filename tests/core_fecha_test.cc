#include "core/fecha.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace tablon {
namespace {

TEST(Fecha, DayCountsOfKnownDates) {
  struct Case {
    PartesFecha partes;
    double dias;
  } cases[] = {
      {{1899, 12, 30, 0, 0, 0}, 0.0},
      {{1990, 1, 1, 0, 0, 0}, 32874.0},
      {{1900, 3, 1, 0, 0, 0}, 61.0},
      {{2000, 2, 29, 12, 0, 0}, 36585.5},
      {{1899, 12, 29, 6, 0, 0}, -1.25},
  };
  for (const auto& c : cases) {
    auto f = Fecha::DesdePartes(c.partes);
    ASSERT_TRUE(f) << c.dias;
    EXPECT_DOUBLE_EQ(f->Dias(), c.dias);
    PartesFecha back = f->Partes();
    EXPECT_EQ(back.anio, c.partes.anio);
    EXPECT_EQ(back.mes, c.partes.mes);
    EXPECT_EQ(back.dia, c.partes.dia);
    EXPECT_EQ(back.hora, c.partes.hora);
  }
  EXPECT_EQ(kFechaInicial, *Fecha::DesdePartes({1990, 1, 1, 0, 0, 0}));
}

TEST(Fecha, RefusesImpossibleParts) {
  for (PartesFecha p : {PartesFecha{1990, 2, 29}, PartesFecha{1990, 13, 1}, PartesFecha{1990, 1, 32},
                        PartesFecha{1990, 1, 1, 24, 0, 0}, PartesFecha{1990, 1, 1, 0, 60, 0}}) {
    EXPECT_FALSE(Fecha::DesdePartes(p)) << p.anio << "-" << p.mes << "-" << p.dia;
  }
}

// A damaged item file may hold any number as a date; every conversion still gives a date.
TEST(Fecha, CountsOutsideTheCalendarReadAsItsEnds) {
  const double inf = std::numeric_limits<double>::infinity();
  for (double d : {1e300, inf, 2958466.5}) {
    const PartesFecha p = Fecha(d).Partes();
    EXPECT_EQ(p.anio, 9999) << d;
    EXPECT_EQ(p.mes, 12);
    EXPECT_EQ(p.dia, 31);
    EXPECT_EQ(p.hora, 23);
  }
  for (double d : {-1e300, -inf, -9e15}) {
    const PartesFecha p = Fecha(d).Partes();
    EXPECT_EQ(p.anio, 100) << d;
    EXPECT_EQ(p.mes, 1);
    EXPECT_EQ(p.dia, 1);
  }
  EXPECT_EQ(FormatoControl(Fecha(std::numeric_limits<double>::quiet_NaN())), "Sat, 30 Dec 1899 00:00:00");
  EXPECT_EQ(FormatoControl(Fecha(1e300)), "Fri, 31 Dec 9999 23:59:59");
  // Within the range nothing moves.
  EXPECT_EQ(Fecha(2958465.5).Partes().hora, 12);
}

TEST(Fecha, ControlTextFormsAndReadsBack) {
  EXPECT_EQ(FormatoControl(kFechaInicial), "Mon, 01 Jan 1990 00:00:00");
  EXPECT_EQ(FormatoControl(Fecha(0)), "Sat, 30 Dec 1899 00:00:00");
  auto f = *Fecha::DesdePartes({2026, 12, 7, 23, 59, 58});
  EXPECT_EQ(FormatoControl(f), "Mon, 07 Dec 2026 23:59:58");
  EXPECT_EQ(LeeFormatoControl(FormatoControl(f)), f);
  for (const char* bad : {"", "Mon, 1 Jan 1990 00:00:00", "Mon, 01 Foo 1990 00:00:00",
                          "Mon, 01 Jan 1990 00:00", "Xyz, 01 Jan 1990 00:00:00", "Mon, 31 Feb 1990 00:00:00"}) {
    EXPECT_FALSE(LeeFormatoControl(bad)) << bad;
  }
}

TEST(Fecha, StateTextFormsOfTheExampleAndEdges) {
  auto check = *Fecha::DesdePartes({1990, 1, 2, 7, 5, 46});
  EXPECT_EQ(FormatoEstado(check), "02/01/1990 7:05:46");
  EXPECT_EQ(FormatoEstado(kFechaInicial), "01/01/1990");
  EXPECT_EQ(FormatoEstado(Fecha(0)), "0:00:00");
  EXPECT_EQ(FormatoEstado(Fecha(0.5)), "12:00:00");
  for (Fecha f : {check, kFechaInicial, Fecha(0), Fecha(0.5), Fecha::Ahora()}) {
    auto back = LeeFormatoEstado(FormatoEstado(f));
    ASSERT_TRUE(back) << FormatoEstado(f);
    EXPECT_EQ(back->Segundos(), f.Segundos());
  }
  for (const char* bad : {"", "X", "01/01/90", "32/01/1990", "01/01/1990 ", "01/01/1990 25:00:00",
                          "1/1/1990x", "7:5:46", "hoy"}) {
    EXPECT_FALSE(LeeFormatoEstado(bad)) << bad;
  }
}

// Date headers as news articles carry them, compared as Unix times so that the machine's zone
// does not matter, and the zone some give; std::nullopt where the text must be refused.
TEST(Fecha, DateHeaderTextsAndTheirInstants) {
  const std::optional<std::int64_t> no;
  struct Case {
    const char* text;
    std::optional<std::int64_t> unix_seconds;
    std::optional<int> zona = std::nullopt;
  } cases[] = {
      {"Tue, 03 Nov 2026 10:00:00 +0100", 1793696400},  // 2026-11-03T09:00:00Z
      {"Wed, 04 Nov 2026 08:15:00 -0500", 1793798100, -300},  // 2026-11-04T13:15:00Z
      {"Sun, 01 Jun 2025 00:00 +0200", 1748728800, 120},
      {"6 Nov 2026 10:00:00 GMT", 1793959200},          // 2026-11-06T10:00:00Z
      {"3 Nov 2026 10:00:00 +0530", 1793680200},
      {"3 Nov 2026 10:00:00 -0000", 1793700000, 0},
      {"1 Jan 2026 00:30:00 +0100", 1767223800},        // the zone moves it to the year before
      {"29 Feb 2024 00:00:00 +1400", 1709114400},
      {"31 Dec 2026 23:59:60 +0000", 1798761599},       // leap second
      // Weekday wrong, missing, in full; month in any case or in full; blanks and comments.
      {"Sun, 03 Nov 2026 10:00:00 +0000", 1793700000},
      {"Tuesday, 03 November 2026 10:00:00 UT", 1793700000},
      {" \tTUE ,  3\tnOV\r\n 2026   10 : 00 : 00\t+0100  ", 1793696400},
      {"Tue, 03 Nov 2026 10:00:00 +0100 (CET)", 1793696400},
      {"(a) Tue, 3 Nov (b (c) \\) ) 2026 10:00:00 (d)GMT(e)", 1793700000},
      // Short years, no seconds, no zone, named zones.
      {"3 Nov 26 10:00 EST", 1793718000, -300},
      {"3 Nov 99 10:00:00 PDT", 941648400},
      {"1 Jan 50 00:00:00 GMT", -631152000},
      {"31 Dec 49 12:00:00 Z", 2524564800},
      {"3 Nov 126 10:00:00 GMT", 1793700000},
      {"3 Nov 2026 10:00:00", 1793700000, 0},
      {"3 Nov 2026 10:00:00 EDT", 1793714400},
      {"3 Nov 2026 10:00:00 CST", 1793721600},
      {"3 Nov 2026 10:00:00 mdt", 1793721600},
      {"3 Nov 2026 10:00:00 MST", 1793725200},
      {"3 Nov 2026 10:00:00 A", 1793700000, 0},  // military letters are all UTC
      {"3 Nov 2026 10:00:00 N", 1793700000},
      {"3 Nov 2026 10:00:00 CET", 1793700000},  // a name of unknown meaning: UTC
      // Other forms seen on Usenet.
      {"Tuesday, 03-Nov-26 10:00:00 GMT", 1793700000},
      {"Tue Nov  3 10:00:00 2026", 1793700000},
      {"Tue Nov  3 05:00:00 EST 2026", 1793700000},
      // What INN's lax reader takes besides: zero-padded years, one-digit parts, any text past the
      // zone, doubled commas, longer weekday cuts; and written-out zones, the 12-hour clock.
      {"Thu, 22 Aug 0102 12:07:35 +0800", 1029989255, 480},
      {"3 Nov 0099 10:00:00 GMT", 941623200},
      {"3 Nov 2026 1:2:3 GMT", 1793667723},
      {"3 Nov 2026 10:0:00 GMT", 1793700000},
      {"3 Nov 2026 10:00:00 +01", 1793696400, 60},
      {"3 Nov 2026 10:00:00 +0100 foo", 1793696400, 60},
      {"3 Nov 2026 10:00:00 GMT garbage", 1793700000},
      {"3 Nov 2026 10:00:00 GMT (open", 1793700000},
      {"3 Nov 2026 10:00:00 GMT\xff", 1793700000},
      {"Tue,, 3 Nov 2026 10:00:00 GMT", 1793700000},
      {"Thurs, 5 Nov 2026 10:00:00 GMT", 1793872800},
      {"3 Nov 2026 10:00:00 GMT+1", 1793696400, 60},
      {"3 Nov 2026 10:00:00 UTC", 1793700000, 0},
      {"3 Nov 2026 10:00:00 Eastern Daylight Time", 1793714400, -240},
      {"3 Nov 2026 10:00:00 Pacific Standard Time", 1793728800, -480},
      {"3 Nov 2026 10:00:00 Greenwich", 1793700000, 0},
      {"3 Nov 2026 10:00:00 Central European Time", 1793700000, 0},  // not a North American zone
      {"3 Nov 2026 06:50:21 PM +0100", 1793728221},
      {"3 Nov 2026 12:10 AM GMT", 1793664600},
      // Refused.
      {"", no},
      {"  (only a comment)  ", no},
      {"hoy", no},
      {"Foo, 3 Nov 2026 10:00:00 GMT", no},
      {"3 Foo 2026 10:00:00 GMT", no},
      {"3 Nov 2026", no},
      {"0 Nov 2026 10:00:00 GMT", no},
      {"32 Oct 2026 10:00:00 GMT", no},
      {"31 Nov 2026 10:00:00 GMT", no},
      {"29 Feb 2026 10:00:00 GMT", no},
      {"123 Nov 2026 10:00:00 GMT", no},
      {"3 Nov 2026 24:00:00 GMT", no},
      {"3 Nov 2026 10:60:00 GMT", no},
      {"3 Nov 2026 10:00:61 GMT", no},
      {"3 Nov 2026 10:00:00 +0160", no},
      {"3 Nov 2026 10:00:00 +010000", no},
      {"3 Nov 2026 10:00:00 +01000", no},
      {"Tu, 3 Nov 2026 10:00:00 GMT", no},
      {"3 Nov 2026 10 GMT", no},
      {"Tue Nov  3 10:00:00 2026 junk", no},
      {"3 Nov 1899 10:00:00 GMT", no},
      {"31 Dec 9999 23:00:00 -0500", no},  // past the end of the calendar
      {"3 Nov 99999999999999999999 10:00:00 GMT", no},
      {"3 Nov 2026 99999999999999999999:00:00 GMT", no},
      {"3 Nov 2026 10:00:00 +99999999999999999999", no},
  };
  for (const auto& c : cases) {
    const std::optional<Fecha> f = LeeFechaRfc5322(c.text);
    if (!c.unix_seconds) {
      EXPECT_FALSE(f) << c.text;
      continue;
    }
    ASSERT_TRUE(f) << c.text;
    EXPECT_EQ(f->AUnix(), *c.unix_seconds) << c.text;
    const auto z = LeeFechaZonaRfc5322(c.text);
    EXPECT_TRUE(z && z->fecha == *f && (!c.zona || z->zona == *c.zona)) << c.text;
  }
}

// The Date header written for items: local time, the day without a leading zero, the local
// zone's offset; read back, the same instant, whatever the machine's zone.
TEST(Fecha, ItemDateHeaderReadsBackAsTheSameInstant) {
  struct Case {
    PartesFecha partes;
    std::string_view inicio;
  } cases[] = {
      {{1990, 1, 1, 12, 0, 0}, "Mon, 1 Jan 1990 12:00:00 "},
      {{2026, 7, 15, 23, 59, 58}, "Wed, 15 Jul 2026 23:59:58 "},
      {{2000, 2, 29, 6, 0, 1}, "Tue, 29 Feb 2000 06:00:01 "},
  };
  for (const auto& c : cases) {
    const Fecha f = *Fecha::DesdePartes(c.partes);
    const std::string texto = FormatoRfc5322(f);
    EXPECT_EQ(texto.substr(0, c.inicio.size()), c.inicio);
    EXPECT_EQ(texto.size(), c.inicio.size() + 5) << texto;  // "+hhmm"
    EXPECT_EQ(LeeFechaRfc5322(texto), f) << texto;
  }
  // In a zone of its own: that zone's clock and offset; the local form where "+hhmm" cannot say it.
  const Fecha junio = *LeeFechaRfc5322("Sun, 01 Jun 2025 00:00 +0200");
  EXPECT_EQ(FormatoRfc5322(junio, 120), "Sun, 1 Jun 2025 00:00:00 +0200");
  EXPECT_EQ(FormatoRfc5322(junio, -150), "Sat, 31 May 2025 19:30:00 -0230");
  EXPECT_EQ(FormatoRfc5322(junio, 6000), FormatoRfc5322(junio));
}

TEST(Fecha, NowRoundTripsThroughUnixTime) {
  Fecha ahora = Fecha::Ahora();
  EXPECT_GT(ahora.Dias(), 46000.0);  // after 2025
  EXPECT_EQ(Fecha::DesdeUnix(ahora.AUnix()), ahora);
}

}  // namespace
}  // namespace tablon
