// A distant link on loopback, for the benchmark: a TCP proxy that listens on 127.0.0.1 (a free
// port), forwards every connection it accepts to a server on 127.0.0.1, and holds each byte back
// as a path of a given round trip and rate would. Used by bench/bench.cc only; never by tests.
//
// How a byte travels. Each direction of each connection has a reader thread and a writer thread
// and a queue between them. The reader takes what the sending side wrote as soon as it arrives,
// cuts it into segments of at most kSegmento bytes and gives each a delivery time:
//     sent     = max(arrived, the end of the previous segment's sending)
//     finished = sent + bytes * 8 / rate          (serialisation: the rate limit)
//     delivery = finished + round trip / 2        (propagation: the one-way delay)
// The writer sleeps until the first segment's delivery time and then writes every segment that
// is due, in order (delivery times never decrease, so byte order is kept). A connection starts
// as after a real TCP handshake: nothing the client sends leaves before one round trip, nothing
// the server sends before 1.5 (when the handshake's last packet reaches it), so the server's
// greeting arrives two round trips after the connect. End of stream travels like a byte: the
// writer shuts the far side's sending half down once everything before it was delivered. A
// reset or a failed write cuts both sides of that connection.
//
// What it does not model: TCP's slow start, losses, and the end-to-end interplay of one side's
// Nagle with the other's delayed ACKs (each side talks TCP to the proxy, over loopback). Both a
// program under test and the floors it is compared with go through the same proxy.
//
// Bounds: at most kColaMaxima bytes wait per direction (the reader stops reading while the
// queue is full: the sender's socket buffers fill and TCP holds it back); every wait is at most
// kEspera long before the stop flag is looked at again. The destructor stops accepting, cuts
// every connection and joins every thread, within a few kEspera. Only 127.0.0.1 is used.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <thread>

namespace tablon::bench {

class EnlaceLento {
 public:
  struct Ajustes {
    std::chrono::microseconds ida_y_vuelta{0};  // the round trip; each direction delays half
    double bits_por_segundo = 0;               // each direction's rate; 0: no limit
  };

  static constexpr std::size_t kSegmento = 1448;             // a TCP segment's payload
  static constexpr std::size_t kColaMaxima = 64u << 20;      // bytes waiting per direction
  static constexpr std::chrono::milliseconds kEspera{100};   // the longest wait between checks

  // Listens on 127.0.0.1 on a free port; each connection goes to 127.0.0.1:`puerto_destino`.
  // Throws std::runtime_error when it cannot listen.
  EnlaceLento(std::uint16_t puerto_destino, Ajustes ajustes);
  ~EnlaceLento();
  EnlaceLento(const EnlaceLento&) = delete;
  EnlaceLento& operator=(const EnlaceLento&) = delete;

  // The port it listens on.
  std::uint16_t Puerto() const { return puerto_; }
  // "50 ms round trip, 20 Mbit/s" (or "no delay, no rate limit").
  std::string Descripcion() const;
  // Connections accepted so far, and those of them whose connect to the server failed.
  int Aceptadas() const { return aceptadas_.load(); }
  int Fallidas() const { return fallidas_.load(); }

 private:
  struct Conexion;

  void Acepta();
  void Reaprovecha(bool todas);

  const std::uint16_t destino_;
  const Ajustes ajustes_;
  int escucha_ = -1;
  std::uint16_t puerto_ = 0;
  std::atomic<bool> parar_{false};
  std::atomic<int> aceptadas_{0}, fallidas_{0};
  std::list<std::unique_ptr<Conexion>> conexiones_;  // only the accepting thread touches it
  std::thread aceptador_;
};

}  // namespace tablon::bench
