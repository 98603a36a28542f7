// The transport's raw reads (LeeBytes): what the line reader holds comes first and in order,
// then the socket's bytes; the end of the stream is an error, as for lines.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "core/error.h"
#include "red/conexion.h"
#include "support/peer.h"

namespace tablon::red {
namespace {

using test::Peer;
using test::Step;

TEST(ConexionBytes, BufferedBytesFirstThenTheSocket) {
  struct Caso {
    std::size_t pieza;  // bytes asked for per call
  };
  const std::string cola = std::string("abc\r\n{5}\r\nde\0fg", 15) + std::string(100'000, 'z');
  for (const Caso c : {Caso{1}, Caso{3}, Caso{64 * 1024}}) {
    SCOPED_TRACE(c.pieza);
    Peer peer({{"", "200 hola\r\n" + cola, Step::Then::kClose}});
    auto conexion = Conexion::Abre("127.0.0.1", peer.Port(), std::chrono::milliseconds(2000));
    EXPECT_EQ(conexion->LeeLinea(), "200 hola");
    char cero = 0;
    EXPECT_EQ(conexion->LeeBytes(&cero, 0), 0u);
    std::string leido;
    std::string pieza(c.pieza, '\0');
    try {
      for (;;) {
        const std::size_t n = conexion->LeeBytes(pieza.data(), pieza.size());
        ASSERT_GT(n, 0u);
        ASSERT_LE(n, c.pieza);
        leido.append(pieza.data(), n);
      }
    } catch (const Error& e) {
      EXPECT_EQ(e.Number(), errnum::kConexionCerrada) << e.Description();
    }
    EXPECT_EQ(leido, cola);
  }
}

}  // namespace
}  // namespace tablon::red
