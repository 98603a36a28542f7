// Credentials from netrc text, and a server's place as the user writes it ("name:port").
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "core/error.h"
#include "red/direccion.h"
#include "red/netrc.h"
#include "support/tmpdir.h"

namespace tablon::red {
namespace {

// The ports a server's place is read with here: NNTP's.
constexpr std::uint16_t kNntp = 119, kNntps = 563;

TEST(Netrc, FindsTheEntryForAHost) {
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
      "machine hash.example.org login h password #Xy9\n"
      "machine next.example.org login n password nn\n"
      "machine commented.example.org # login evil password evil\n"
      "  login c password cc\n"
      "machine keyword.example.org login k password machine\n"
      "machine escaped.example.org login e password \"a\\tb\\\\c\\\"d\"\n"
      "machine unclosed.example.org login u password \"open\n"
      "machine after.example.org login a password aa\n"
      "default login anon password guest\n";
  struct Case {
    const char* host;
    bool found;
    const char* user;
    const char* pass;
    const char* text = nullptr;  // nullptr: the text above
  } cases[] = {
      {"news.example.org", true, "ana", "s3cr3t"},
      {"NEWS.Example.ORG", true, "ana", "s3cr3t"},
      {"other.example.org", true, "bob", "with blanks \" and quote"},
      {"127.0.0.1", true, "local", "l0cal"},
      {"nopass.example.org", true, "solo", ""},
      {"evil.example.org", true, "anon", "guest"},  // only inside a macro: falls to default
      {"unknown.example.org", true, "anon", "guest"},
      {"news.example", true, "anon", "guest"},  // no prefix match
      // "#" where a value is expected is part of the value, never a comment that runs the
      // parser into the next entry.
      {"hash.example.org", true, "h", "#Xy9"},
      {"next.example.org", true, "n", "nn"},
      {"commented.example.org", true, "c", "cc"},  // "#" where a keyword is expected
      {"keyword.example.org", true, "k", "machine"},
      {"escaped.example.org", true, "e", "a\tb\\c\"d"},
      {"unclosed.example.org", true, "u", "open"},  // a missing quote ends at the line end
      {"after.example.org", true, "a", "aa"},
      {"h", true, "right", "r",
       "macdef init\ncd /pub\nmachine h login wrong password wrong\n\nmachine h login right password r\n"},
      {"h", true, "d", "d p", "default login d password \"d p\"\n"},
      {"a", true, "x", "y", "machine a login x password y\ndefault login d password dp\n"},
      {"b", true, "d", "dp", "machine a login x password y\ndefault login d password dp\n"},
      // A machine entry wins over a "default" standing before it.
      {"a", true, "x", "y", "default login d password dp\nmachine a login x password y\n"},
      {"a", true, "d", "dp", "default login d password dp\ndefault login e password ep\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + (c.text ? std::string(" in ") + c.text : ""));
    const auto cred = BuscaEnNetrc(c.text ? c.text : text, c.host);
    ASSERT_EQ(cred.has_value(), c.found);
    EXPECT_EQ(cred->usuario, c.user);
    EXPECT_EQ(cred->contrasena, c.pass);
  }
}

TEST(Netrc, WithoutAMatchOrADefaultThereAreNoCredentials) {
  for (const char* text : {"", "machine a login x password y", "machine", "login x password y",
                           "machine a login"}) {
    EXPECT_FALSE(BuscaEnNetrc(text, "b")) << text;
  }
  // The first entry for a host wins.
  const auto cred = BuscaEnNetrc("machine a login one password 1 machine a login two", "a");
  ASSERT_TRUE(cred);
  EXPECT_EQ(cred->usuario, "one");
}

TEST(Netrc, PicksTheEntryOfALogin) {
  const std::string text =
      "machine h login una password 1\n"
      "machine h login otra password 2\n"
      "machine g password 3\n"
      "default login anon password guest\n";
  struct Case {
    const char* host;
    const char* login;
    const char* pass;  // nullptr: none
  } cases[] = {
      {"h", "otra", "2"}, {"h", "una", "1"},  {"g", "cualquiera", "3"},  // an entry without a login serves
      {"h", "anon", "guest"},                 {"h", "nadie", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " " + c.login);
    const auto cred = BuscaEnNetrc(text, c.host, c.login);
    ASSERT_EQ(cred.has_value(), c.pass != nullptr);
    if (cred) {
      EXPECT_EQ(cred->contrasena, c.pass);
    }
  }
}

TEST(Netrc, ReadsAFileAndToleratesAMissingOne) {
  test::TmpDir dir;
  test::WriteFile(dir / "netrc", "machine h login u password p\n");
  std::filesystem::permissions(dir / "netrc", std::filesystem::perms(0600));
  const auto cred = LeeNetrc((dir / "netrc").string(), "h");
  ASSERT_TRUE(cred);
  EXPECT_EQ(cred->contrasena, "p");
  EXPECT_FALSE(LeeNetrc((dir / "missing").string(), "h"));
  EXPECT_FALSE(LeeNetrc("", "h"));
  EXPECT_FALSE(LeeNetrc("/dev/null", "h"));  // not a regular file
  EXPECT_FALSE(LeeNetrc(dir.str(), "h"));
}

// A file holding a password that others may read or write is refused whole, whichever entry
// holds it; without a password its mode does not matter.
TEST(Netrc, RefusesAFileWithPasswordsThatOthersMayRead) {
  struct Case {
    const char* text;
    unsigned mode;
    bool refused;
  } cases[] = {
      {"machine h login u password p\n", 0600, false},
      {"machine h login u password p\n", 0400, false},
      {"machine h login u password p\n", 0644, true},
      {"machine h login u password p\n", 0640, true},
      {"machine h login u password p\n", 0602, true},
      {"machine h login u\nmachine other login o password secret\n", 0644, true},
      {"machine h login u\n", 0644, false},
      {"macdef init\npassword p\n\nmachine h login u\n", 0644, false},  // a macro's text
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " " + std::to_string(c.mode));
    test::TmpDir dir;
    const std::string path = (dir / "netrc").string();
    test::WriteFile(path, c.text);
    std::filesystem::permissions(path, std::filesystem::perms(c.mode));
    try {
      const auto cred = LeeNetrc(path, "h");
      EXPECT_FALSE(c.refused);
      ASSERT_TRUE(cred);
      EXPECT_EQ(cred->usuario, "u");
    } catch (const Error& e) {
      EXPECT_TRUE(c.refused) << e.Description();
      EXPECT_EQ(e.Number(), errnum::kCredenciales);
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", c.mode);
      for (const std::string& part : {path, std::string("permisos ") + mode, "chmod 600 " + path}) {
        EXPECT_NE(e.Description().find(part), std::string::npos) << e.Description();
      }
    }
  }
}

TEST(Direccion, ParsesNamesPortsAndAddresses) {
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
    const Direccion d = AnalizaHost(c.host, kNntp, kNntps);
    EXPECT_EQ(d.nombre, c.name) << c.host;
    EXPECT_EQ(d.puerto, c.port) << c.host;
    EXPECT_EQ(d.tls_implicito, c.tls) << c.host;
  }
  EXPECT_EQ(Describe(AnalizaHost("[::1]:119", kNntp, kNntps)), "[::1]:119");
}

TEST(Direccion, RefusesMalformedHosts) {
  for (const char* host : {"", ":119", "h:", "h:0", "h:65536", "h:12x", "h:-1", "[::1", "[::1]x",
                           "[]:119", "a b", "h\r\n:119", "h\t"}) {
    try {
      AnalizaHost(host, kNntp, kNntps);
      ADD_FAILURE() << "accepted \"" << host << "\"";
    } catch (const Error& e) {
      EXPECT_EQ(e.Number(), errnum::kArgumentoNoValido) << host;
    }
  }
}

}  // namespace
}  // namespace tablon::red
