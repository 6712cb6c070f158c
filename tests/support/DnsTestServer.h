// A small DNS server on loopback for tests of the MX lookup.
//
// It listens on 127.0.0.1 on an ephemeral port, over UDP and (on the same port number) TCP,
// records every query it reads and answers with scripted replies: the queued ones in order,
// one per query, then the default one. The first N queries can be dropped unanswered.
//
//   DnsTestServer server;
//   server.Enqueue(DnsReplyScript::Answers({{10, "mx1.example.com"}, {5, "mx0.example.com"}}));
//   SetDnsServers({server.Address()});
//   FindMailExchanger("user@example.com", 300);
//   EXPECT_EQ(server.Queries()[0].Name, "example.com");
//
// Recording happens before the answer is sent. The destructor stops the server promptly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// One query as the server read it.
struct DnsQueryRecord {
  std::string Bytes;  // the whole message
  uint16_t Id = 0;
  std::string Name;   // the question's name, labels joined with "."
  uint16_t Type = 0;
  uint16_t Class = 0;
  bool OverTcp = false;
};

// What the server does with one query.
struct DnsReplyScript {
  enum class Behaviour {
    Answer,  // header and question echoed, then Mx as answers
    Drop,    // no reply at all
    Raw,     // the bytes RawReply makes of the query, as they are
  };
  Behaviour Mode = Behaviour::Answer;
  int Rcode = 0;
  bool Truncated = false;  // TC set (over UDP only; the TCP answer is whole)
  std::vector<std::pair<uint16_t, std::string>> Mx;  // preference, exchange ("" is ".")
  uint16_t IdDelta = 0;    // the reply's id is the query's plus this
  std::function<std::string(const DnsQueryRecord&)> RawReply;

  static DnsReplyScript Answers(std::vector<std::pair<uint16_t, std::string>> records);
  static DnsReplyScript Code(int rcode);
  static DnsReplyScript Dropped();
  static DnsReplyScript Raw(std::function<std::string(const DnsQueryRecord&)> make);
};

// Builds DNS messages byte by byte, for replies no server would send.
class DnsMessageWriter {
 public:
  DnsMessageWriter& U8(unsigned v);
  DnsMessageWriter& U16(unsigned v);
  DnsMessageWriter& U32(uint32_t v);
  DnsMessageWriter& Label(const std::string& label);  // its length byte, then its bytes
  DnsMessageWriter& Name(const std::string& dotted);  // labels, then the root's 0
  DnsMessageWriter& Pointer(size_t offset);           // a compression pointer
  DnsMessageWriter& Append(const std::string& bytes);
  // Fills in a 16-bit value written earlier (e.g. RDLENGTH once the data is known).
  DnsMessageWriter& PatchU16(size_t offset, unsigned v);
  size_t Size() const { return bytes_.size(); }
  const std::string& Bytes() const { return bytes_; }

  // A reply to `query`: its id, the flags (QR and RD set, with `rcode`), the counts, and the
  // question copied from the query. Answers follow at offset Size().
  static DnsMessageWriter ReplyTo(const DnsQueryRecord& query, int rcode, unsigned answers, unsigned authority = 0,
                                  unsigned additional = 0);
  // One MX answer whose owner is a pointer to the question's name (offset 12).
  DnsMessageWriter& MxAnswer(uint16_t preference, const std::string& exchange);

 private:
  std::string bytes_;
};

class DnsTestServer {
 public:
  DnsTestServer();
  ~DnsTestServer();
  DnsTestServer(const DnsTestServer&) = delete;
  DnsTestServer& operator=(const DnsTestServer&) = delete;

  // "127.0.0.1:port".
  std::string Address() const;
  uint16_t Port() const;

  void Enqueue(DnsReplyScript script);
  // Used once the queue is empty; initially a reply with no answers (NODATA).
  void SetDefault(DnsReplyScript script);
  // The next `count` queries are recorded but not answered.
  void DropFirst(int count);

  std::vector<DnsQueryRecord> Queries() const;
  size_t QueryCount() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};
