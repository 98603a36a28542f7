// Faults found by the fuzzers (fuzz/), each pinned by the input that found it.
#include <gtest/gtest.h>

#include "core/fecha.h"
#include "news/servidor_news.h"
#include "support/tmpdir.h"

namespace tablon {
namespace {

using test::TmpDir;
using test::WriteFile;

// fuzz_archivo_estado: a group date before the year 1000 was read ("01/01/0995") but written
// back with three year digits ("01/01/995"), which the reader refuses: the next load dropped
// the subscribed group.
TEST(RegresionFuzz, AStateDateBeforeTheYear1000SurvivesASave) {
  for (const char* texto : {"01/01/0995", "31/12/0999 1:02:03"}) {
    SCOPED_TRACE(texto);
    auto f = LeeFormatoEstado(texto);
    ASSERT_TRUE(f);
    EXPECT_EQ(FormatoEstado(*f), texto);
  }
  TmpDir dir;
  const std::string ruta = (dir / "s.txt").string();
  WriteFile(ruta, "07/12/2026 5:49:20\r\n 3 \r\ncomp.lang.c 01/01/0995 X\r\nalt.test 01/01/1990 \r\nx.y \r\n");
  ServidorNews uno;
  uno.filename(ruta);
  uno.load();
  ASSERT_EQ(uno.Grupos()->size(), 3u);
  uno.save();
  ServidorNews dos;
  dos.filename(ruta);
  dos.load();
  ASSERT_EQ(dos.Grupos()->size(), 3u);
  EXPECT_EQ((*dos.Grupos())[0]->Nombre(), "comp.lang.c");
  EXPECT_TRUE((*dos.Grupos())[0]->Subscrito());
  EXPECT_EQ(dos.ArchivoApartado(), "");
}

}  // namespace
}  // namespace tablon
