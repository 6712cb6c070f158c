// The MX lookup: the reply parser over hand-made replies, then whole lookups against loopback
// DNS servers with scripted answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "delivery/ESocketsDns.h"
#include "tests/support/DnsTestServer.h"

namespace {

using Hosts = std::vector<std::string>;

// ---- The reply parser ----

DnsQueryRecord SampleQuery(const std::string& name = "example.com") {
  DnsQueryRecord q;
  q.Id = 0x1234;
  q.Name = name;
  q.Type = 15;
  q.Class = 1;
  q.Bytes = DnsMessageWriter().U16(q.Id).U16(0x0100).U16(1).U16(0).U16(0).U16(0).Name(name).U16(15).U16(1).Bytes();
  return q;
}

// An MX answer whose exchange is written by `exchange` (the owner points at the question).
std::string ReplyWithExchange(const std::function<void(DnsMessageWriter&)>& exchange) {
  DnsMessageWriter w = DnsMessageWriter::ReplyTo(SampleQuery(), 0, 1);
  w.Pointer(12).U16(15).U16(1).U32(60);
  const size_t lengthAt = w.Size();
  w.U16(0).U16(10);
  exchange(w);
  w.PatchU16(lengthAt, static_cast<unsigned>(w.Size() - lengthAt - 2));
  return w.Bytes();
}

std::string WithMx(const std::vector<std::pair<uint16_t, std::string>>& records, int rcode = 0) {
  DnsMessageWriter w = DnsMessageWriter::ReplyTo(SampleQuery(), rcode, static_cast<unsigned>(records.size()));
  for (const auto& [p, h] : records) w.MxAnswer(p, h);
  return w.Bytes();
}

std::string Patched(std::string bytes, size_t offset, unsigned char value) {
  bytes.at(offset) = static_cast<char>(value);
  return bytes;
}

struct ParseCase {
  const char* Name;
  std::string Bytes;
  TDnsReplyKind Kind;
  Hosts Expected;  // drHosts only
};

std::vector<ParseCase> ParseCases() {
  const std::string plain = WithMx({{10, "mx1.example.com"}});
  const size_t questionEnd = DnsMessageWriter::ReplyTo(SampleQuery(), 0, 0).Size();
  std::vector<ParseCase> cases = {
      {"lowest preference first", WithMx({{20, "b.example.com"}, {10, "a.example.com"}, {30, "c.example.com"}}),
       drHosts, {"a.example.com", "b.example.com", "c.example.com"}},
      {"equal preferences keep their order, duplicates once",
       WithMx({{5, "y.example.com"}, {5, "x.example.com"}, {7, "Y.EXAMPLE.COM"}}), drHosts,
       {"y.example.com", "x.example.com"}},
      {"exchange compressed against the question",
       ReplyWithExchange([](DnsMessageWriter& w) { w.Label("mail").Pointer(12); }), drHosts, {"mail.example.com"}},
      {"exchange through a pointer to a pointer",
       [] {
         DnsMessageWriter w = DnsMessageWriter::ReplyTo(SampleQuery(), 0, 2);
         w.MxAnswer(10, "relay.example.com");
         // The second exchange points into the first one's name ("relay.example.com").
         const size_t firstName = w.Size() - 19;
         w.Pointer(12).U16(15).U16(1).U32(60).U16(6).U16(20).Label("b").Pointer(firstName);
         return w.Bytes();
       }(),
       drHosts, {"relay.example.com", "b.relay.example.com"}},
      {"question echoed in other case", WithMx({{1, "mx.example.com"}}).replace(13, 7, "EXAMPLE"), drHosts,
       {"mx.example.com"}},
      {"alias followed",
       [] {
         DnsMessageWriter w = DnsMessageWriter::ReplyTo(SampleQuery(), 0, 2);
         w.Pointer(12).U16(5).U16(1).U32(60);
         const size_t at = w.Size();
         w.U16(0).Name("mail.example.net").PatchU16(at, static_cast<unsigned>(w.Size() - at - 2));
         w.Pointer(at + 2).U16(15).U16(1).U32(60).U16(7).U16(3).Label("mx").Pointer(at + 2);
         return w.Bytes();
       }(),
       drHosts, {"mx.mail.example.net"}},
      {"pointer loop", ReplyWithExchange([](DnsMessageWriter& w) { w.Pointer(w.Size()); }), drMalformed, {}},
      {"two pointers pointing at each other",
       ReplyWithExchange([](DnsMessageWriter& w) { w.Pointer(w.Size() + 2).Pointer(w.Size()); }), drMalformed, {}},
      {"label past the end", ReplyWithExchange([](DnsMessageWriter& w) { w.U8(40).Append("short"); }), drMalformed,
       {}},
      {"pointer past the end", ReplyWithExchange([](DnsMessageWriter& w) { w.Pointer(0x3FFF); }), drMalformed, {}},
      {"exchange shorter than its record",
       [questionEnd] {
         std::string b = WithMx({{10, "mx.example.com"}});
         b.push_back('\0');
         return Patched(b, questionEnd + 11, static_cast<unsigned char>(b[questionEnd + 11] + 1));
       }(),
       drMalformed, {}},
      {"MX data of two bytes",
       [] {
         DnsMessageWriter w = DnsMessageWriter::ReplyTo(SampleQuery(), 0, 1);
         w.Pointer(12).U16(15).U16(1).U32(60).U16(2).U16(10);
         return w.Bytes();
       }(),
       drMalformed, {}},
      {"bytes after the last record", plain + "xx", drMalformed, {}},
      {"record count beyond the message", Patched(plain, 7, 2), drMalformed, {}},
      {"no MX: NODATA", WithMx({}), drNoData, {}},
      {"MX of another owner only",
       [] {
         DnsMessageWriter w = DnsMessageWriter::ReplyTo(SampleQuery(), 0, 1);
         w.Name("other.example.com").U16(15).U16(1).U32(60).U16(7).U16(10).Label("mx").Pointer(12);
         return w.Bytes();
       }(),
       drNoData, {}},
      {"null MX", WithMx({{0, ""}}), drNullMx, {}},
      {"null MX among others", WithMx({{10, "mx.example.com"}, {0, ""}}), drNullMx, {}},
      {"NXDOMAIN", WithMx({}, 3), drNameError, {}},
      {"SERVFAIL", WithMx({}, 2), drServerError, {}},
      {"REFUSED", WithMx({}, 5), drServerError, {}},
      {"truncated", Patched(WithMx({}), 2, 0x83), drTruncated, {}},
      {"wrong id", Patched(plain, 1, 0x35), drForeign, {}},
      {"a query, not a reply", Patched(plain, 2, 0x01), drForeign, {}},
      {"another question name", WithMx({}).replace(13, 7, "exbmple"), drForeign, {}},
      {"another question type", Patched(WithMx({}), questionEnd - 3, 1), drForeign, {}},
      {"question count beyond the message", Patched(WithMx({}), 5, 2), drMalformed, {}},
      {"header alone", plain.substr(0, 12), drMalformed, {}},
      {"shorter than a header", plain.substr(0, 11), drForeign, {}},
  };
  return cases;
}

TEST(DnsReplyParser, Cases) {
  for (const ParseCase& c : ParseCases()) {
    SCOPED_TRACE(c.Name);
    const TDnsReply r =
        ParseMxReply(reinterpret_cast<const unsigned char*>(c.Bytes.data()), c.Bytes.size(), 0x1234, "example.com");
    EXPECT_EQ(static_cast<int>(r.Kind), static_cast<int>(c.Kind)) << r.Reason;
    if (c.Kind == drHosts) {
      Hosts hosts;
      for (const TMxHost& h : r.Hosts) hosts.push_back(h.Host);
      EXPECT_EQ(hosts, c.Expected);
    }
  }
}

// ---- Names and servers ----

TEST(DnsNames, MailDomain) {
  const struct {
    const char* Address;
    const char* Domain;
  } cases[] = {
      {"user@example.com", "example.com"},
      {"user@example.com.", "example.com"},
      {"example.org", "example.org"},  // no "@": the whole address
      {"a@b@example.net", "b@example.net"},  // after the first "@", refused later by the query
      {"user@b\xC3\xBC" "cher.example", "xn--bcher-kva.example"},
      {"user@\xE6\x97\xA5\xE6\x9C\xAC.example", "xn--wgv71a.example"},
      {"user@", ""},
      {"user@exa mple.com", ""},
      {"user@exa\r\nmple.com", ""},
      {"user@\xFF\xFE.example", ""},  // not UTF-8
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Address);
    EXPECT_EQ(MailDomainOf(c.Address), c.Domain);
  }
}

TEST(DnsNames, QueryAsBuilt) {
  uint16_t first = 0, second = 0;
  const std::string q = BuildMxQuery("mail.example.com", first);
  ASSERT_GE(q.size(), 12u);
  DnsQueryRecord parsed;
  parsed.Bytes = q;
  // id, flags with RD, one question, MX IN for the name
  EXPECT_EQ(static_cast<uint16_t>(static_cast<unsigned char>(q[0]) << 8 | static_cast<unsigned char>(q[1])), first);
  EXPECT_EQ(q[2] & 0x81, 0x01);
  EXPECT_EQ(q.substr(4, 8), std::string("\0\1\0\0\0\0\0\0", 8));
  EXPECT_EQ(q.substr(12), std::string("\4mail\7example\3com\0\0\x0F\0\1", 22));
  // Ids come from a random source: a run of queries does not repeat one id over and over.
  int same = 0;
  for (int i = 0; i < 8; ++i) {
    BuildMxQuery("mail.example.com", second);
    same += second == first;
  }
  EXPECT_LT(same, 8);
  uint16_t unused = 0;
  EXPECT_EQ(BuildMxQuery(std::string(64, 'a') + ".example", unused), "");  // label too long
  EXPECT_EQ(BuildMxQuery("", unused), "");
}

TEST(DnsNames, ResolvConf) {
  const std::string text =
      "# generated\n"
      "search example.com\n"
      "nameserver 192.0.2.1\n"
      "nameserver\t198.51.100.7  # second\n"
      "nameserver 0.0.0.0\n"
      "nameserver 2001:db8::53\n"
      "  nameserver 203.0.113.9\r\n"
      "nameserverx 192.0.2.99\n"
      "nameserver not-an-address\n"
      "; nameserver 192.0.2.50\n"
      "options edns0\n"
      "nameserver 192.0.2.2";
  EXPECT_EQ(ResolvConfServers(text),
            Hosts({"192.0.2.1", "198.51.100.7", "[2001:db8::53]", "203.0.113.9", "192.0.2.2"}));
  EXPECT_TRUE(ResolvConfServers("").empty());
}

// ---- Whole lookups against loopback servers ----

class DnsLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDnsServers({primary.Address()});
    SetDnsFallbackServer(fallback.Address());
    // The fallback is asked only when the primary fails; its default makes that visible.
    fallback.SetDefault(DnsReplyScript::Answers({{1, "fallback.example.com"}}));
  }
  void TearDown() override {
    SetDnsServers({});
    SetDnsFallbackServer("");
  }
  // Each attempt waits (300 + 150) / 3 + 100 * attempt ms: 150, 250, 350.
  static constexpr int kTimeoutMs = 300;
  DnsTestServer primary;
  DnsTestServer fallback;
};

std::string RawWithExchange(const DnsQueryRecord& q, const std::function<void(DnsMessageWriter&)>& exchange) {
  DnsMessageWriter w = DnsMessageWriter::ReplyTo(q, 0, 1);
  w.Pointer(12).U16(15).U16(1).U32(60);
  const size_t lengthAt = w.Size();
  w.U16(0).U16(10);
  exchange(w);
  return w.PatchU16(lengthAt, static_cast<unsigned>(w.Size() - lengthAt - 2)).Bytes();
}

struct LookupCase {
  const char* Name;
  const char* Address;
  std::vector<DnsReplyScript> Primary;  // in order; then NODATA
  int DropFirst;
  Hosts Expected;
  size_t PrimaryQueries;
  size_t FallbackQueries;
};

TEST_F(DnsLookup, Answers) {
  DnsReplyScript wrongId = DnsReplyScript::Answers({{1, "spoofed.example.com"}});
  wrongId.IdDelta = 1;
  DnsReplyScript truncated = DnsReplyScript::Answers({{1, "big.example.com"}});
  truncated.Truncated = true;
  const DnsReplyScript loop = DnsReplyScript::Raw(
      [](const DnsQueryRecord& q) { return RawWithExchange(q, [](DnsMessageWriter& w) { w.Pointer(w.Size()); }); });
  const DnsReplyScript pastEnd = DnsReplyScript::Raw(
      [](const DnsQueryRecord& q) { return RawWithExchange(q, [](DnsMessageWriter& w) { w.U8(50).Append("mx"); }); });
  const DnsReplyScript compressed = DnsReplyScript::Raw([](const DnsQueryRecord& q) {
    return RawWithExchange(q, [](DnsMessageWriter& w) { w.Label("smtp").Pointer(12); });
  });
  const DnsReplyScript good = DnsReplyScript::Answers({{20, "b.example.com"}, {10, "a.example.com"}});

  const std::vector<LookupCase> cases = {
      {"preferences", "user@example.com", {good}, 0, {"a.example.com", "b.example.com"}, 1, 0},
      {"compression", "user@example.com", {compressed}, 0, {"smtp.example.com"}, 1, 0},
      {"NODATA: the domain itself", "user@example.com", {DnsReplyScript::Code(0)}, 0, {"example.com"}, 1, 0},
      {"null MX", "user@example.com", {DnsReplyScript::Answers({{0, ""}})}, 0, {}, 1, 0},
      {"dropped first attempt", "user@example.com", {good}, 1, {"a.example.com", "b.example.com"}, 2, 0},
      {"wrong id ignored, next attempt answered", "user@example.com", {wrongId, good}, 0,
       {"a.example.com", "b.example.com"}, 2, 0},
      {"pointer loop, then a good reply", "user@example.com", {loop, good}, 0, {"a.example.com", "b.example.com"}, 2,
       0},
      {"label past the end, then a good reply", "user@example.com", {pastEnd, good}, 0,
       {"a.example.com", "b.example.com"}, 2, 0},
      {"SERVFAIL: the fallback answers", "user@example.com", {DnsReplyScript::Code(2)}, 0, {"fallback.example.com"},
       1, 1},
      {"silent server: the fallback answers", "user@example.com", {}, 3, {"fallback.example.com"}, 3, 1},
      {"truncated: asked again over TCP", "user@example.com",
       {truncated, DnsReplyScript::Answers({{1, "big.example.com"}})}, 0, {"big.example.com"}, 2, 0},
      {"no \"@\": the whole text is the domain", "example.com", {good}, 0, {"a.example.com", "b.example.com"}, 1, 0},
  };
  for (const LookupCase& c : cases) {
    SCOPED_TRACE(c.Name);
    DnsTestServer server;
    DnsTestServer spare;
    spare.SetDefault(DnsReplyScript::Answers({{1, "fallback.example.com"}}));
    SetDnsServers({server.Address()});
    SetDnsFallbackServer(spare.Address());
    for (const DnsReplyScript& s : c.Primary) server.Enqueue(s);
    server.DropFirst(c.DropFirst);
    Hosts hosts;
    ASSERT_NO_THROW(hosts = FindMailExchanger(c.Address, kTimeoutMs));
    EXPECT_EQ(hosts, c.Expected);
    EXPECT_EQ(server.QueryCount(), c.PrimaryQueries);
    EXPECT_EQ(spare.QueryCount(), c.FallbackQueries);
    for (const DnsQueryRecord& q : server.Queries()) {
      EXPECT_EQ(q.Name, "example.com");
      EXPECT_EQ(q.Type, 15);
      EXPECT_EQ(q.Class, 1);
    }
  }
}

TEST_F(DnsLookup, EveryAttemptHasItsOwnId) {
  primary.DropFirst(2);
  primary.Enqueue(DnsReplyScript::Answers({{1, "mx.example.com"}}));
  EXPECT_EQ(FindMailExchanger("user@example.com", kTimeoutMs), Hosts{"mx.example.com"});
  const auto queries = primary.Queries();
  ASSERT_EQ(queries.size(), 3u);
  EXPECT_FALSE(queries[0].Id == queries[1].Id && queries[1].Id == queries[2].Id);
}

TEST_F(DnsLookup, InternationalDomainAskedAsALabels) {
  primary.Enqueue(DnsReplyScript::Answers({{1, "mx.xn--bcher-kva.example"}}));
  EXPECT_EQ(FindMailExchanger("kunde@b\xC3\xBC" "cher.example", kTimeoutMs), Hosts{"mx.xn--bcher-kva.example"});
  ASSERT_EQ(primary.QueryCount(), 1u);
  EXPECT_EQ(primary.Queries()[0].Name, "xn--bcher-kva.example");
}

struct FailureCase {
  const char* Name;
  const char* Address;
  DnsReplyScript PrimaryDefault;
  DnsReplyScript FallbackDefault;
  size_t PrimaryQueries, FallbackQueries;
};

TEST_F(DnsLookup, Failures) {
  const DnsReplyScript loop = DnsReplyScript::Raw(
      [](const DnsQueryRecord& q) { return RawWithExchange(q, [](DnsMessageWriter& w) { w.Pointer(w.Size()); }); });
  const std::vector<FailureCase> cases = {
      // A domain that does not exist is not asked of anyone else.
      {"NXDOMAIN", "user@nowhere.example", DnsReplyScript::Code(3), DnsReplyScript::Code(0), 1, 0},
      {"every reply broken", "user@nowhere.example", loop, loop, 3, 3},
      {"nobody answers", "user@nowhere.example", DnsReplyScript::Dropped(), DnsReplyScript::Dropped(), 3, 3},
      {"refused everywhere", "user@nowhere.example", DnsReplyScript::Code(5), DnsReplyScript::Code(5), 1, 1},
      {"no domain", "user@", DnsReplyScript::Code(0), DnsReplyScript::Code(0), 0, 0},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.Name);
    DnsTestServer server, spare;
    server.SetDefault(c.PrimaryDefault);
    spare.SetDefault(c.FallbackDefault);
    SetDnsServers({server.Address()});
    SetDnsFallbackServer(spare.Address());
    try {
      FindMailExchanger(c.Address, kTimeoutMs);
      ADD_FAILURE() << "no error";
    } catch (const ETarvexSocketError& e) {
      const std::string domain = std::string(c.Address).substr(5);
      EXPECT_EQ(e.Message().rfind("Cannot resolve the \"" + domain + "\" MX record.", 0), 0u) << e.Message();
    }
    EXPECT_EQ(server.QueryCount(), c.PrimaryQueries);
    EXPECT_EQ(spare.QueryCount(), c.FallbackQueries);
  }
}

TEST_F(DnsLookup, ClosedPortGivesWayToTheFallback) {
  // A port nothing listens on: the refusal comes back at once instead of a time-out.
  uint16_t closedPort;
  {
    DnsTestServer gone;
    closedPort = gone.Port();
  }
  SetDnsServers({"127.0.0.1:" + std::to_string(closedPort), primary.Address()});
  primary.Enqueue(DnsReplyScript::Answers({{1, "mx.example.com"}}));
  EXPECT_EQ(FindMailExchanger("user@example.com", kTimeoutMs), Hosts{"mx.example.com"});
  EXPECT_EQ(fallback.QueryCount(), 0u);
}

TEST_F(DnsLookup, UnusableServerTextsAreSkipped) {
  SetDnsServers({"not an address", "127.0.0.1:99999", "[::1", primary.Address()});
  primary.Enqueue(DnsReplyScript::Answers({{1, "mx.example.com"}}));
  EXPECT_EQ(FindMailExchanger("user@example.com", kTimeoutMs), Hosts{"mx.example.com"});
}

}  // namespace
