// Credentials from netrc text, and the control's Host text.
#include <gtest/gtest.h>

#include "core/error.h"
#include "nntp/direccion.h"
#include "nntp/netrc.h"
#include "support/tmpdir.h"

namespace tablon::nntp {
namespace {

TEST(NntpNetrc, FindsTheEntryForAHost) {
  const std::string text =
      "# comment line\n"
      "machine news.example.org login ana password s3cr3t\n"
      "machine other.example.org\n"
      "  login bob\n"
      "  password \"with blanks \\\" and quote\"\n"
      "macdef init\n"
      "machine evil.example.org login mallory password x\n"
      "\n"
      "machine 127.0.0.1 login local password l0cal # trailing comment\n"
      "machine nopass.example.org login solo\n"
      "default login anon password guest\n";
  struct Case {
    const char* host;
    bool found;
    const char* user;
    const char* pass;
  } cases[] = {
      {"news.example.org", true, "ana", "s3cr3t"},
      {"NEWS.Example.ORG", true, "ana", "s3cr3t"},
      {"other.example.org", true, "bob", "with blanks \" and quote"},
      {"127.0.0.1", true, "local", "l0cal"},
      {"nopass.example.org", true, "solo", ""},
      {"evil.example.org", true, "anon", "guest"},  // only inside a macro: falls to default
      {"unknown.example.org", true, "anon", "guest"},
      {"news.example", true, "anon", "guest"},  // no prefix match
  };
  for (const Case& c : cases) {
    const auto cred = BuscaEnNetrc(text, c.host);
    ASSERT_EQ(cred.has_value(), c.found) << c.host;
    EXPECT_EQ(cred->usuario, c.user) << c.host;
    EXPECT_EQ(cred->contrasena, c.pass) << c.host;
  }
}

TEST(NntpNetrc, WithoutAMatchOrADefaultThereAreNoCredentials) {
  for (const char* text : {"", "machine a login x password y", "machine", "login x password y",
                           "machine a login"}) {
    EXPECT_FALSE(BuscaEnNetrc(text, "b")) << text;
  }
  // The first entry for a host wins.
  const auto cred = BuscaEnNetrc("machine a login one password 1 machine a login two", "a");
  ASSERT_TRUE(cred);
  EXPECT_EQ(cred->usuario, "one");
}

TEST(NntpNetrc, ReadsAFileAndToleratesAMissingOne) {
  test::TmpDir dir;
  test::WriteFile(dir / "netrc", "machine h login u password p\n");
  const auto cred = LeeNetrc((dir / "netrc").string(), "h");
  ASSERT_TRUE(cred);
  EXPECT_EQ(cred->contrasena, "p");
  EXPECT_FALSE(LeeNetrc((dir / "missing").string(), "h"));
  EXPECT_FALSE(LeeNetrc("", "h"));
}

TEST(NntpHost, ParsesNamesPortsAndAddresses) {
  struct Case {
    const char* host;
    const char* name;
    int port;
    bool tls;
  } cases[] = {
      {"news.example.org", "news.example.org", 119, false},
      {"news.example.org:1119", "news.example.org", 1119, false},
      {"news.example.org:563", "news.example.org", 563, true},
      {"127.0.0.1:11119", "127.0.0.1", 11119, false},
      {"[::1]:563", "::1", 563, true},
      {"[2001:db8::1]", "2001:db8::1", 119, false},
      {"::1", "::1", 119, false},
  };
  for (const Case& c : cases) {
    const Direccion d = AnalizaHost(c.host);
    EXPECT_EQ(d.nombre, c.name) << c.host;
    EXPECT_EQ(d.puerto, c.port) << c.host;
    EXPECT_EQ(d.tls_implicito, c.tls) << c.host;
  }
  EXPECT_EQ(Describe(AnalizaHost("[::1]:119")), "[::1]:119");
}

TEST(NntpHost, RefusesMalformedHosts) {
  for (const char* host : {"", ":119", "h:", "h:0", "h:65536", "h:12x", "h:-1", "[::1", "[::1]x",
                           "[]:119", "a b", "h\r\n:119", "h\t"}) {
    try {
      AnalizaHost(host);
      ADD_FAILURE() << "accepted \"" << host << "\"";
    } catch (const Error& e) {
      EXPECT_EQ(e.Number(), errnum::kArgumentoNoValido) << host;
    }
  }
}

}  // namespace
}  // namespace tablon::nntp
