// The line splitter (whole or byte by byte, the line bound) and the receive buffer under it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/error.h"
#include "red/buffer_recepcion.h"
#include "red/lineas.h"

namespace tablon::red {
namespace {

std::vector<std::string> Split(const std::string& bytes, std::size_t chunk, std::size_t max = kLineaMaxima) {
  Lineas lineas(max);
  std::vector<std::string> out;
  for (std::size_t i = 0; i < bytes.size(); i += chunk) {
    lineas.Agrega(std::string_view(bytes).substr(i, chunk));
    while (auto l = lineas.Siguiente()) out.emplace_back(*l);
  }
  return out;
}

TEST(Lineas, SplitsTheSameWhateverTheChunking) {
  const std::string big(300000, 'x');  // longer than one read buffer
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<std::string> lines;
  } cases[] = {
      {"crlf", "200 hola\r\n224 x\r\n", {"200 hola", "224 x"}},
      {"bare lf", "a\nb\r\n", {"a", "b"}},
      {"empty lines", "\r\n\n\r\n", {"", "", ""}},
      {"unfinished tail waits", "uno\r\ndos", {"uno"}},
      {"cr alone kept", "a\rb\r\n", {"a\rb"}},
      {"only last cr dropped", "a\r\r\n", {"a\r"}},
      {"8-bit and NUL kept", std::string("caf\xc3\xa9\t\xff\0z\r\n", 11), {std::string("caf\xc3\xa9\t\xff\0z", 9)}},
      {"long line", big + "\r\n.\r\n", {big, "."}},
  };
  for (const Case& c : cases) {
    for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{1} << 20}) {
      EXPECT_EQ(Split(c.bytes, chunk), c.lines) << c.name << ", chunks of " << chunk;
    }
  }
}

TEST(Lineas, ALineBeyondTheBoundIsAProtocolError) {
  for (const std::string& bytes : {std::string(102, 'x'), std::string(101, 'x') + "\r\n"}) {
    for (std::size_t chunk : {std::size_t{1}, std::size_t{1000}}) {
      try {
        Split(bytes, chunk, 100);
        ADD_FAILURE() << "no error for " << bytes.size() << " bytes";
      } catch (const Error& e) {
        EXPECT_EQ(e.Number(), errnum::kProtocolo);
      }
    }
  }
  // Exactly at the bound is fine, and the CR of the line end does not count.
  EXPECT_EQ(Split(std::string(100, 'x') + "\r\n", 1, 100).size(), 1u);
}

// Whether the unread bytes move to the front, the memory grows, or everything was read and the
// next bytes start at the front again, the unread bytes are the ones received, in order.
TEST(BufferRecepcion, KeepsTheUnreadBytesWhereverTheyGo) {
  struct Paso {
    std::size_t agrega, consume;
  } pasos[] = {
      {60'000, 50'000},  // 64 KiB held, 10,000 unread
      {20'000, 0},       // past the end: moved to the front
      {100'000, 1},      // more than 64 KiB: grows
      {0, 129'999},      // everything read
      {70'000, 3},       // from the front again
  };
  BufferRecepcion buffer;
  std::string recibidos;  // the bytes not yet consumed, as the buffer should hold them
  char siguiente = 0;
  for (const Paso& p : pasos) {
    std::string datos(p.agrega, '\0');
    for (char& c : datos) c = ++siguiente;
    buffer.Agrega(datos);
    recibidos += datos;
    buffer.Consume(p.consume);
    recibidos.erase(0, p.consume);
    ASSERT_EQ(buffer.Pendientes(), recibidos.size());
    EXPECT_EQ(std::memcmp(buffer.Datos(), recibidos.data(), recibidos.size()), 0) << p.agrega;
  }
}

}  // namespace
}  // namespace tablon::red
