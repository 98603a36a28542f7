// TLS against a loopback peer with a certificate made at run time: from the first byte and
// after STARTTLS, trusted through TrustFile or refused; credentials wait for the upgrade.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "core/error.h"
#include "nntp/control.h"
#include "support/peer.h"

namespace tablon::nntp {
namespace {

using test::Lines;
using test::Peer;
using test::Step;
using test::TlsIdentity;
using Then = Step::Then;

const std::string kCaps = "101 caps\r\n" + Lines({"VERSION 2", "READER", "OVER"}) + ".\r\n";
const std::string kOverLine = "1\tSubject\tA <a@x>\tMon, 01 Jan 2024 00:00:00 +0000\t<1@x>\t\t10\t1";

long ErrorOf(const std::function<void()>& f, std::string* text = nullptr) {
  try {
    f();
  } catch (const Error& e) {
    if (text) *text = e.Description();
    return e.Number();
  }
  return 0;
}

void Prepare(Control& news, const Peer& peer) {
  news.Host(peer.Host());
  news.Timeout(std::chrono::milliseconds(2000));
  news.NetrcPath("/nonexistent/netrc");
}

TEST(NntpTls, VerifiesTheCertificateFromTheFirstByte) {
  const TlsIdentity good;  // for 127.0.0.1 and localhost
  const TlsIdentity other("DNS:otro.example.test");
  struct Case {
    const char* name;
    const TlsIdentity* server;
    const TlsIdentity* trusted;  // nullptr: the system store only
    long number;                 // 0: accepted
  } cases[] = {
      {"trusted through TrustFile", &good, &good, 0},
      {"not trusted", &good, nullptr, errnum::kTls},
      {"trusted but for another name", &other, &other, errnum::kTls},
      {"a different certificate trusted", &good, &other, errnum::kTls},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Peer peer({{"", "200 tls ready\r\n"},
               {"CAPABILITIES", kCaps},
               {"GROUP g", "211 1 1 1 g\r\n"},
               {"OVER 1-1", "224 ok\r\n" + kOverLine + "\r\n.\r\n"}},
              c.server, true);
    Control news;
    Prepare(news, peer);
    news.ImplicitTls(true);
    if (c.trusted) news.TrustFile(c.trusted->CertFile());
    std::string text;
    EXPECT_EQ(ErrorOf([&] { news.Command(kConectar); }, &text), c.number) << text;
    if (c.number != 0) {
      EXPECT_NE(text.find("certificado"), std::string::npos) << text;
      EXPECT_FALSE(news.Connected());
      EXPECT_TRUE(peer.Commands().empty());
      continue;
    }
    news.GroupName("g");
    news.Command(kLeerEncabezados);
    ASSERT_EQ(news.OverviewCount(), 1);
    EXPECT_EQ(news.OverviewLine(0), kOverLine);
    news.Command(kDesconectar);
    for (const Peer::Received& r : peer.Commands()) EXPECT_TRUE(r.over_tls) << r.line;
    EXPECT_EQ(peer.Failures(), "");
  }
}

TEST(NntpTls, ADroppedTlsConnectionIsNotAShortResult) {
  const TlsIdentity id;
  Peer peer({{"", "200 tls ready\r\n"},
             {"CAPABILITIES", kCaps},
             {"GROUP g", "211 2 1 2 g\r\n"},
             {"OVER 1-2", "224 ok\r\n" + kOverLine + "\r\n", Then::kClose}},
            &id, true);
  Control news;
  Prepare(news, peer);
  news.ImplicitTls(true);
  news.TrustFile(id.CertFile());
  news.Command(kConectar);
  news.GroupName("g");
  EXPECT_EQ(ErrorOf([&] { news.Command(kLeerEncabezados); }), errnum::kConexionCerrada);
  EXPECT_EQ(news.OverviewCount(), 0);
}

// A plain connection to a peer taken as remote: credentials go only after STARTTLS.
TEST(NntpTls, UpgradesWithStartTlsBeforeSendingCredentials) {
  const TlsIdentity id;
  const std::string plain_caps =
      "101 caps\r\n" + Lines({"VERSION 2", "READER", "OVER", "STARTTLS"}) + ".\r\n";
  const std::string tls_caps = "101 caps\r\n" + Lines({"VERSION 2", "READER", "OVER", "AUTHINFO USER"}) + ".\r\n";
  const std::vector<Step> upgrade = {{"", "200 ready\r\n"},
                                     {"CAPABILITIES", plain_caps},
                                     {"GROUP g", "480 Authentication required\r\n"},
                                     {"STARTTLS", "382 Continue with TLS negotiation\r\n", Then::kStartTls}};
  struct Case {
    const char* name;
    bool trusted;
    std::vector<Step> script;
    long number;
  } cases[] = {
      {"upgraded", true,
       std::vector<Step>{{"CAPABILITIES", tls_caps},
                         {"AUTHINFO USER ana", "381 more\r\n"},
                         {"AUTHINFO PASS pw", "281 ok\r\n"},
                         {"CAPABILITIES", tls_caps},
                         {"GROUP g", "211 1 1 1 g\r\n"},
                         {"GROUP g", "211 1 1 1 g\r\n"}},
       0},
      {"certificate not trusted", false, {}, errnum::kTls},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Step> script = upgrade;
    script.insert(script.end(), c.script.begin(), c.script.end());
    Peer peer(script, &id);
    Control news;
    Prepare(news, peer);
    news.TreatLoopbackAsRemote(true);
    news.UserName("ana");
    news.Password("pw");
    if (c.trusted) news.TrustFile(id.CertFile());
    news.Command(kConectar);
    news.GroupName("g");
    EXPECT_EQ(ErrorOf([&] { news.SelectGroup(); }), c.number);
    for (const Peer::Received& r : peer.Commands()) {
      if (r.line.rfind("AUTHINFO", 0) == 0) {
        EXPECT_TRUE(r.over_tls) << r.line;
      }
    }
    if (c.number == 0) {
      // The group chosen after the upgrade is the one asked for; the selection still holds.
      news.SelectGroup();
      EXPECT_EQ(peer.Failures(), "");
    }
  }
}

TEST(NntpTls, RefusesPlainTextInjectedBeforeTheHandshake) {
  const TlsIdentity id;
  Peer peer({{"", "200 ready\r\n"},
             {"CAPABILITIES", "101 caps\r\n" + Lines({"VERSION 2", "READER", "STARTTLS"}) + ".\r\n"},
             {"GROUP g", "480 Authentication required\r\n"},
             {"STARTTLS", "382 Continue\r\n281 injected\r\n", Then::kStartTls}},
            &id);
  Control news;
  Prepare(news, peer);
  news.TreatLoopbackAsRemote(true);
  news.UserName("ana");
  news.Password("pw");
  news.TrustFile(id.CertFile());
  news.Command(kConectar);
  news.GroupName("g");
  EXPECT_EQ(ErrorOf([&] { news.SelectGroup(); }), errnum::kProtocolo);
  EXPECT_FALSE(news.Connected());
}

}  // namespace
}  // namespace tablon::nntp
