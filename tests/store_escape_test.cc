// The pure mappings of the stores: folder name <-> directory name, item file names and flags
// (Maildir); folder name <-> mailbox name part, UID sets (IMAP).
#include <gtest/gtest.h>

#include <random>

#include "store/imap/carpeta_imap.h"
#include "store/imap/nombre_buzon.h"
#include "store/maildir/escape_nombre.h"
#include "store/maildir/nombre_archivo.h"

namespace tablon::store::maildir {
namespace {

TEST(EscapaNombre, TableOfCases) {
  struct Caso {
    std::string nombre, dir;
  } casos[] = {
      {"news", "news"},
      {"comp.lang.c++", "comp.lang.c++"},
      {"News", "News"},
      {"con blancos ", "con blancos "},
      {"", "%"},
      {".", "%2E"},
      {"..", "%2E."},
      {".hidden", "%2Ehidden"},
      {"cur", "%63ur"},
      {"new", "%6Eew"},
      {"tmp", "%74mp"},
      {"Cur", "Cur"},
      {"curso", "curso"},
      {"a/b", "a%2Fb"},
      {std::string("a\0b", 3), "a%00b"},
      {"100%", "100%25"},
      {"%2F", "%252F"},
      {"a.", "a."},
      {"Café", "Café"},
  };
  for (const auto& c : casos) {
    EXPECT_EQ(EscapaNombre(c.nombre), c.dir) << c.nombre;
    EXPECT_EQ(DesescapaNombre(c.dir), c.nombre) << c.dir;
  }
}

TEST(ParteBuzon, TableOfCases) {
  struct Caso {
    std::string nombre, parte;
    char delimitador = '/';
  } casos[] = {
      {"news", "news"},
      {"comp.lang.c++", "comp.lang.c++"},
      {"comp.lang", "comp%2Elang", '.'},
      {"a/b", "a%2Fb"},
      {"a/b", "a%2Fb", '.'},
      {"", "%"},
      {".hidden", "%2Ehidden"},
      {"~x", "%7Ex"},
      {"cur", "%63ur"},
      {"INBOX", "%49NBOX"},
      {"inbox", "%69nbox"},
      {"Inboxes", "Inboxes"},
      {"a*b%c", "a%2Ab%25c"},
      {"tab\t", "tab%09"},
      {"Año ñ", "A&APE-o &APE-"},
      {"Tablón", "Tabl&APM-n"},
      {"&", "&-"},
      {"\xFF\xFEx", "%FF%FEx"},
      {std::string("n\0ul", 4), "n%00ul"},
  };
  for (const auto& c : casos) {
    EXPECT_EQ(imap::CodificaParteBuzon(c.nombre, c.delimitador), c.parte) << c.nombre;
    EXPECT_EQ(imap::DecodificaParteBuzon(c.parte, c.delimitador), c.nombre) << c.parte;
  }
  // Mailboxes another program made: not folders of the store.
  for (const char* parte : {"INBOX", "cur", ".git", "~user", "a%41", "a%2f", "a%zz", "50%", "a/b", "&AGE-", ""}) {
    EXPECT_FALSE(imap::DecodificaParteBuzon(parte, '/').has_value()) << parte;
  }
  EXPECT_EQ(imap::ConjuntoUid({7, 1, 2, 3, 5, 9, 8}), "1:3,5,7:9");
  EXPECT_EQ(imap::ConjuntoUid({4}), "4");
}

TEST(DesescapaNombre, OnlyTheCanonicalFormIsAFolder) {
  for (const char* dir : {"cur", "new", "tmp", ".git", ".", "..", "a%zz", "a%2f", "%41", "%",
                          "50%", "%L0123456789ABCDEF", ""}) {
    const auto r = DesescapaNombre(dir);
    if (std::string_view(dir) == "%") {
      EXPECT_EQ(r, "");
    } else {
      EXPECT_FALSE(r.has_value()) << dir;
    }
  }
}

TEST(EscapaNombre, RandomNamesRoundTrip) {
  std::mt19937 azar(12345);
  const std::string alfabeto = std::string("./%a.Zcurnewtmp\xC3\xA9 \t", 20) + std::string(1, '\0');
  for (int i = 0; i < 20000; ++i) {
    std::string nombre;
    const int largo = static_cast<int>(azar() % 8);
    for (int k = 0; k < largo; ++k) nombre += alfabeto[azar() % alfabeto.size()];
    const std::string dir = EscapaNombre(nombre);
    ASSERT_FALSE(dir.empty());
    ASSERT_NE(dir, ".");
    ASSERT_NE(dir, "..");
    ASSERT_NE(dir[0], '.') << nombre;
    ASSERT_EQ(dir.find('/'), std::string::npos) << nombre;
    ASSERT_EQ(dir.find('\0'), std::string::npos) << nombre;
    ASSERT_TRUE(dir != "cur" && dir != "new" && dir != "tmp");
    ASSERT_EQ(DesescapaNombre(dir), nombre) << dir;
  }
}

TEST(DirNombreLargo, FormAndAttempts) {
  const std::string largo(300, 'x');
  EXPECT_GT(EscapaNombre(largo).size(), kMaxNombreDir);
  const std::string d0 = DirNombreLargo(largo, 0), d1 = DirNombreLargo(largo, 1);
  EXPECT_TRUE(EsDirNombreLargo(d0));
  EXPECT_TRUE(EsDirNombreLargo(d1));
  EXPECT_EQ(d1, d0 + "-1");
  EXPECT_NE(DirNombreLargo(std::string(300, 'y'), 0), d0);
  EXPECT_FALSE(DesescapaNombre(d0).has_value());  // never taken for an escaped name
  for (const char* no : {"%L0123", "%L0123456789abcdef", "%L0123456789ABCDEF-", "%L0123456789ABCDEF-x"}) {
    EXPECT_FALSE(EsDirNombreLargo(no)) << no;
  }
}

TEST(NombreDeArchivo, BaseAndFlags) {
  struct Caso {
    std::string archivo, base, banderas;
  } casos[] = {
      {"123.M1P2Q3.host", "123.M1P2Q3.host", ""},
      {"123.M1P2Q3.host:2,", "123.M1P2Q3.host", ""},
      {"123.M1P2Q3.host:2,FRS", "123.M1P2Q3.host", "FRS"},
      {"123.M1P2Q3.host,S=42:2,S", "123.M1P2Q3.host,S=42", "S"},
      {"123.x:1,foo", "123.x", ""},
  };
  for (const auto& c : casos) {
    const auto n = SeparaNombre(c.archivo);
    EXPECT_EQ(n.base, c.base) << c.archivo;
    EXPECT_EQ(n.banderas, c.banderas) << c.archivo;
  }
  EXPECT_EQ(ComponNombre("b", "SFRS"), "b:2,FRS");
  EXPECT_EQ(ConBandera("RS", 'F', true), "FRS");
  EXPECT_EQ(ConBandera("FRS", 'S', false), "FR");
  EXPECT_EQ(ConBandera("", 'S', false), "");
}

TEST(NombreDeArchivo, BasesSortInCreationOrder) {
  const std::string a = NuevaBase(999999999, 999999, 7, 9, "h");
  const std::string b = NuevaBase(1000000000, 5, 7, 10, "h");
  const std::string c = NuevaBase(1000000000, 6, 7, 11, "h");
  const std::string d = NuevaBase(1000000000, 6, 7, 12, "h");
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_LT(c, d);
  const std::string raro = NuevaBase(1, 2, 3, 4, "mi/host:x");
  EXPECT_EQ(raro.find('/'), std::string::npos);
  EXPECT_EQ(raro.find(':'), std::string::npos);
}

}  // namespace
}  // namespace tablon::store::maildir
