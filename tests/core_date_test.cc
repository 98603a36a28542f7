#include "core/date.h"

#include <gtest/gtest.h>

#include <limits>

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

TEST(Fecha, NowRoundTripsThroughUnixTime) {
  Fecha ahora = Fecha::Ahora();
  EXPECT_GT(ahora.Dias(), 46000.0);  // after 2025
  EXPECT_EQ(Fecha::DesdeUnix(ahora.AUnix()), ahora);
}

}  // namespace
}  // namespace tablon
