#include "platform/url.h"

#include <gtest/gtest.h>

namespace installer::platform {
namespace {

TEST(URLTest, SplitsEveryComponent) {
  auto url = URL::parse("https://user:pw@Example.com:8443/a/b%20c?x=1&y#frag");
  ASSERT_TRUE(url);
  const auto& c = url->components();
  EXPECT_EQ(c.scheme, "https");
  EXPECT_EQ(c.user, "user");
  EXPECT_EQ(c.password, "pw");
  EXPECT_EQ(c.host, "Example.com");
  EXPECT_EQ(c.port, 8443);
  EXPECT_EQ(c.path, "/a/b%20c");
  EXPECT_EQ(c.query, "x=1&y");
  EXPECT_EQ(c.fragment, "frag");
  EXPECT_EQ(url->absoluteString(), "https://user:pw@Example.com:8443/a/b%20c?x=1&y#frag");
}

TEST(URLTest, OptionalPartsStayAbsentOrEmptyAsWritten) {
  auto bare = URL::parse("https://host");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->path(), "");
  EXPECT_FALSE(bare->components().query);
  EXPECT_FALSE(bare->components().fragment);
  EXPECT_FALSE(bare->components().port);
  EXPECT_FALSE(bare->components().user);

  auto emptyParts = URL::parse("https://host:/?#");
  ASSERT_TRUE(emptyParts);
  EXPECT_FALSE(emptyParts->components().port);  // "host:" means no port
  EXPECT_EQ(emptyParts->components().query, "");
  EXPECT_EQ(emptyParts->components().fragment, "");

  auto noHost = URL::parse("https:///x");
  ASSERT_TRUE(noHost);
  EXPECT_EQ(noHost->components().host, "");  // an authority, but empty
  EXPECT_EQ(noHost->host(), "");
  EXPECT_EQ(noHost->path(), "/x");
}

TEST(URLTest, HostForms) {
  auto v6 = URL::parse("http://[2001:db8::1]:8080/x");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->host(), "2001:db8::1");
  EXPECT_EQ(v6->components().port, 8080);
  EXPECT_EQ(v6->components().string(), "http://[2001:db8::1]:8080/x");

  EXPECT_TRUE(URL::parse("http://[::1]/"));
  EXPECT_TRUE(URL::parse("http://[fe80::1%25en0]/"));
  EXPECT_TRUE(URL::parse("http://127.0.0.1:1/"));
  EXPECT_TRUE(URL::parse("http://a-b.c_d~e/"));
  EXPECT_TRUE(URL::parse("http://xn--bcher-kva.example/"));
}

TEST(URLTest, RelativeReferencesHaveNoScheme) {
  auto rel = URL::parse("a/b?q");
  ASSERT_TRUE(rel);
  EXPECT_EQ(rel->scheme(), "");
  EXPECT_FALSE(rel->components().host);
  EXPECT_EQ(rel->path(), "a/b");
  EXPECT_EQ(rel->components().query, "q");

  auto networkPath = URL::parse("//host/p");
  ASSERT_TRUE(networkPath);
  EXPECT_EQ(networkPath->host(), "host");

  auto opaque = URL::parse("mailto:a@b.c");
  ASSERT_TRUE(opaque);
  EXPECT_EQ(opaque->scheme(), "mailto");
  EXPECT_FALSE(opaque->components().host);
  EXPECT_EQ(opaque->path(), "a@b.c");
}

TEST(URLTest, RejectsMalformedText) {
  const char* const kBad[] = {
      "",                              // nothing
      " https://host/",                // leading blank
      "https://host/\n",               // trailing line break
      "https://host/a b",              // inner blank
      "https://host/\t",               // tab
      "https://host/\x01",             // control character
      "https://host/\x7f",             // DEL
      "https://host/\xc3\xa9",         // non-ASCII byte
      "https://host/%",                // truncated escape
      "https://host/%4",               // truncated escape
      "https://host/%zz",              // not hex
      "https://host/?q=%g1",           // bad escape in the query
      "https://host/#%",               // bad escape in the fragment
      "https://ho%2/",                 // bad escape in the host
      "https://host/a#b#c",            // second "#"
      "https://host/a[b]",             // brackets outside a host
      "https://host/a{b}",             // never allowed literally
      "https://host/a|b",
      "https://host/a\\b",
      "https://host/\"",
      "https://host/<>",
      "1http://host/",                 // scheme must start with a letter
      "ht_tp://host/",                 // bad scheme character
      ":no-scheme",                    // empty scheme
      "https://host:99999/",           // port out of range
      "https://host:65536/",
      "https://host:123456/",
      "https://host:8a/",              // port not a number
      "https://host:-1/",
      "https://[::1/",                 // unclosed literal
      "https://[::g]/",                // not an IPv6 address
      "https://[1.2.3.4]/",            // IPv4 in brackets
      "https://[::1]x/",               // junk after the literal
      "https://[v1.fe:80]/",           // future-version literals are not accepted
      "https://[fe80::1%en0]/",        // zone without "%25"
      "https://a@b@host/",             // second "@"
      "https://us er@host/",
      "https://host name/",
  };
  for (const char* text : kBad) {
    EXPECT_FALSE(URL::parse(text)) << text;
  }
  EXPECT_FALSE(URL::parse(std::string("https://host/\0x", 15)));  // embedded NUL
}

TEST(URLTest, AcceptsWhatTheGrammarAllows) {
  const char* const kGood[] = {
      "https://host/a;b=c/d,e!$&'()*+@:",
      "https://host/p?a=1&b=/?:@",
      "https://host/p#a/b?c",
      "https://host:0/",
      "https://host:65535/",
      "file:///tmp/x",
      "HTTPS://HOST/X",
      "urn:isbn:0451450523",
      "https://host/%41%7e",
      "https://@host/",        // empty user
      "https://u:@host/",      // empty password
  };
  for (const char* text : kGood) {
    auto url = URL::parse(text);
    EXPECT_TRUE(url) << text;
    if (url) {
      EXPECT_EQ(url->components().string(), text) << text;
    }
  }
}

TEST(URLTest, FileURLs) {
  auto dir = URL::fileURL("/Applications/My App/");
  EXPECT_TRUE(dir.isFileURL());
  EXPECT_EQ(dir.absoluteString(), "file:///Applications/My%20App/");
  EXPECT_EQ(dir.path(), "/Applications/My%20App/");
  EXPECT_EQ(dir.filePath(), "/Applications/My App/");
  EXPECT_TRUE(URL::parse(dir.absoluteString()));

  auto odd = URL::fileURL("/tmp/100%/#?\xc3\xa9");
  EXPECT_EQ(odd.absoluteString(), "file:///tmp/100%25/%23%3F%C3%A9");
  EXPECT_EQ(odd.filePath(), "/tmp/100%/#?\xc3\xa9");

  EXPECT_TRUE(URL::parse("FILE:///x")->isFileURL());
  EXPECT_FALSE(URL::parse("https://h/x")->isFileURL());
  EXPECT_EQ(URL::fileURL("rel").path()[0], '/');
}

TEST(URLComponentsTest, QueryItemsSplitAndDecode) {
  auto url = URL::parse("https://h/?a=1&b&c=&=d&e=x=y&f=%26%3D%20+&&");
  ASSERT_TRUE(url);
  auto items = url->components().queryItems();
  ASSERT_TRUE(items);
  std::vector<QueryItem> expected = {
      {"a", "1"}, {"b", std::nullopt}, {"c", ""}, {"", "d"}, {"e", "x=y"},
      {"f", "&= +"}, {"", std::nullopt}, {"", std::nullopt}};
  EXPECT_EQ(*items, expected);

  EXPECT_FALSE(URL::parse("https://h/")->components().queryItems());
  EXPECT_EQ(URL::parse("https://h/?")->components().queryItems(), std::vector<QueryItem>{});
}

TEST(URLComponentsTest, SetQueryItemsEncodesWhatWouldSplitOrBreak) {
  URLComponents c = URL::parse("https://h/p")->components();
  c.setQueryItems({{"a b", "1&2=3"}, {"plus", "x+y"}, {"flag", std::nullopt}, {"e", ""},
                   {"path", "/?:@"}, {"hash", "#"}, {"utf8", "\xc3\xa9"}, {"pct", "%"}});
  EXPECT_EQ(c.query,
            "a%20b=1%262%3D3&plus=x+y&flag&e=&path=/?:@&hash=%23&utf8=%C3%A9&pct=%25");
  auto text = c.string();
  ASSERT_TRUE(text);
  // Round trip: the items read back as they were set.
  auto back = URL::parse(*text)->components().queryItems();
  ASSERT_TRUE(back);
  EXPECT_EQ((*back)[0], (QueryItem{"a b", "1&2=3"}));
  EXPECT_EQ((*back)[1], (QueryItem{"plus", "x+y"}));
  EXPECT_EQ((*back)[2], (QueryItem{"flag", std::nullopt}));
  EXPECT_EQ((*back)[7], (QueryItem{"pct", "%"}));

  c.setQueryItems({});
  EXPECT_EQ(c.query, "");
  EXPECT_EQ(c.string(), "https://h/p?");
}

TEST(URLComponentsTest, StringIsAbsentWhenComponentsDoNotFormAURL) {
  URLComponents c = URL::parse("https://host/x")->components();

  URLComponents relativePathWithHost = c;
  relativePathWithHost.path = "x";
  EXPECT_FALSE(relativePathWithHost.string());

  URLComponents emptyPathWithHost = c;
  emptyPathWithHost.path = "";
  EXPECT_EQ(emptyPathWithHost.string(), "https://host");

  URLComponents doubleSlashWithoutHost = c;
  doubleSlashWithoutHost.host.reset();
  doubleSlashWithoutHost.path = "//x";
  EXPECT_FALSE(doubleSlashWithoutHost.string());

  URLComponents portWithoutHost = c;
  portWithoutHost.host.reset();
  portWithoutHost.port = 80;
  EXPECT_FALSE(portWithoutHost.string());

  URLComponents blankInPath = c;
  blankInPath.path = "/a b";
  EXPECT_FALSE(blankInPath.string());

  URLComponents hashInQuery = c;
  hashInQuery.query = "a#b";
  EXPECT_FALSE(hashInQuery.string());

  URLComponents colonFirstSegment;
  colonFirstSegment.path = "a:b";  // would read back as a scheme
  EXPECT_FALSE(colonFirstSegment.string());

  URLComponents everything = c;
  everything.user = "u";
  everything.password = "p";
  everything.port = 1;
  everything.query = "q";
  everything.fragment = "f";
  EXPECT_EQ(everything.string(), "https://u:p@host:1/x?q#f");
}

}  // namespace
}  // namespace installer::platform
