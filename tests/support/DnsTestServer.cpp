#include "tests/support/DnsTestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

// ---- Scripts ----

DnsReplyScript DnsReplyScript::Answers(std::vector<std::pair<uint16_t, std::string>> records) {
  DnsReplyScript s;
  s.Mx = std::move(records);
  return s;
}

DnsReplyScript DnsReplyScript::Code(int rcode) {
  DnsReplyScript s;
  s.Rcode = rcode;
  return s;
}

DnsReplyScript DnsReplyScript::Dropped() {
  DnsReplyScript s;
  s.Mode = Behaviour::Drop;
  return s;
}

DnsReplyScript DnsReplyScript::Raw(std::function<std::string(const DnsQueryRecord&)> make) {
  DnsReplyScript s;
  s.Mode = Behaviour::Raw;
  s.RawReply = std::move(make);
  return s;
}

// ---- Message writer ----

DnsMessageWriter& DnsMessageWriter::U8(unsigned v) {
  bytes_.push_back(static_cast<char>(v & 0xFF));
  return *this;
}

DnsMessageWriter& DnsMessageWriter::U16(unsigned v) { return U8(v >> 8).U8(v); }

DnsMessageWriter& DnsMessageWriter::U32(uint32_t v) { return U16(v >> 16).U16(v & 0xFFFF); }

DnsMessageWriter& DnsMessageWriter::Label(const std::string& label) {
  U8(static_cast<unsigned>(label.size()));
  bytes_ += label;
  return *this;
}

DnsMessageWriter& DnsMessageWriter::Name(const std::string& dotted) {
  size_t pos = 0;
  while (pos < dotted.size()) {
    size_t dot = dotted.find('.', pos);
    if (dot == std::string::npos) dot = dotted.size();
    Label(dotted.substr(pos, dot - pos));
    pos = dot + 1;
  }
  return U8(0);
}

DnsMessageWriter& DnsMessageWriter::Pointer(size_t offset) { return U16(0xC000 | static_cast<unsigned>(offset)); }

DnsMessageWriter& DnsMessageWriter::Append(const std::string& bytes) {
  bytes_ += bytes;
  return *this;
}

DnsMessageWriter& DnsMessageWriter::PatchU16(size_t offset, unsigned v) {
  bytes_.at(offset) = static_cast<char>((v >> 8) & 0xFF);
  bytes_.at(offset + 1) = static_cast<char>(v & 0xFF);
  return *this;
}

DnsMessageWriter DnsMessageWriter::ReplyTo(const DnsQueryRecord& query, int rcode, unsigned answers,
                                           unsigned authority, unsigned additional) {
  DnsMessageWriter w;
  w.U16(query.Id).U16(0x8180 | (rcode & 0x0F)).U16(1).U16(answers).U16(authority).U16(additional);
  // The question as asked: the query's bytes after the header up to its type and class.
  size_t end = 12;
  while (end < query.Bytes.size() && query.Bytes[end] != 0) end += 1 + static_cast<unsigned char>(query.Bytes[end]);
  w.Append(query.Bytes.substr(12, end + 5 - 12));
  return w;
}

DnsMessageWriter& DnsMessageWriter::MxAnswer(uint16_t preference, const std::string& exchange) {
  Pointer(12).U16(15).U16(1).U32(300);
  const size_t lengthAt = Size();
  U16(0).U16(preference).Name(exchange);
  return PatchU16(lengthAt, static_cast<unsigned>(Size() - lengthAt - 2));
}

// ---- Server ----

namespace {

bool ParseQuery(const std::string& bytes, DnsQueryRecord& q) {
  q.Bytes = bytes;
  if (bytes.size() < 12) return false;
  const auto at = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  q.Id = static_cast<uint16_t>(at(0) << 8 | at(1));
  size_t pos = 12;
  while (pos < bytes.size() && at(pos) != 0) {
    const size_t len = at(pos);
    if (len > 63 || pos + 1 + len > bytes.size()) return false;
    if (!q.Name.empty()) q.Name += '.';
    q.Name += bytes.substr(pos + 1, len);
    pos += 1 + len;
  }
  if (pos + 5 > bytes.size()) return false;
  q.Type = static_cast<uint16_t>(at(pos + 1) << 8 | at(pos + 2));
  q.Class = static_cast<uint16_t>(at(pos + 3) << 8 | at(pos + 4));
  return true;
}

std::string Build(const DnsReplyScript& script, const DnsQueryRecord& query, bool overTcp) {
  if (script.Mode == DnsReplyScript::Behaviour::Raw) return script.RawReply(query);
  // A truncated datagram carries the question only.
  const bool cut = script.Truncated && !overTcp;
  DnsMessageWriter w =
      DnsMessageWriter::ReplyTo(query, script.Rcode, cut ? 0 : static_cast<unsigned>(script.Mx.size()));
  if (!cut)
    for (const auto& [preference, exchange] : script.Mx) w.MxAnswer(preference, exchange);
  std::string bytes = w.Bytes();
  const uint16_t id = static_cast<uint16_t>(query.Id + script.IdDelta);
  bytes[0] = static_cast<char>(id >> 8);
  bytes[1] = static_cast<char>(id & 0xFF);
  if (cut) bytes[2] = static_cast<char>(bytes[2] | 0x02);
  return bytes;
}

}  // namespace

struct DnsTestServer::State {
  int Udp = -1;
  int Tcp = -1;
  int Wake = -1;
  uint16_t Port = 0;
  std::thread Worker;
  mutable std::mutex Mutex;
  std::deque<DnsReplyScript> Queue;
  DnsReplyScript Default;
  int DropCount = 0;
  std::vector<DnsQueryRecord> Queries;

  // The script for one query; false when it is to be dropped.
  bool Next(const DnsQueryRecord& query, DnsReplyScript& script) {
    std::lock_guard lock(Mutex);
    Queries.push_back(query);
    if (DropCount > 0) {
      --DropCount;
      return false;
    }
    if (Queue.empty()) {
      script = Default;
    } else {
      script = std::move(Queue.front());
      Queue.pop_front();
    }
    return script.Mode != DnsReplyScript::Behaviour::Drop;
  }

  void ServeUdp() {
    char buffer[65536];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = recvfrom(Udp, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n <= 0) return;
    DnsQueryRecord query;
    ParseQuery(std::string(buffer, static_cast<size_t>(n)), query);
    DnsReplyScript script;
    if (!Next(query, script)) return;
    const std::string reply = Build(script, query, false);
    sendto(Udp, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
  }

  bool ReadFull(int fd, std::string& out, size_t size) {
    while (out.size() < size) {
      pollfd p[2] = {{fd, POLLIN, 0}, {Wake, POLLIN, 0}};
      if (poll(p, 2, 5000) <= 0 || p[1].revents) return false;
      char buffer[4096];
      const ssize_t n = recv(fd, buffer, std::min(sizeof buffer, size - out.size()), 0);
      if (n <= 0) return false;
      out.append(buffer, static_cast<size_t>(n));
    }
    return true;
  }

  void ServeTcp() {
    const int fd = accept4(Tcp, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    std::string length;
    std::string message;
    if (ReadFull(fd, length, 2)) {
      const size_t size = static_cast<unsigned char>(length[0]) << 8 | static_cast<unsigned char>(length[1]);
      if (ReadFull(fd, message, size)) {
        DnsQueryRecord query;
        ParseQuery(message, query);
        query.OverTcp = true;
        DnsReplyScript script;
        if (Next(query, script)) {
          const std::string reply = Build(script, query, true);
          std::string out;
          out.push_back(static_cast<char>(reply.size() >> 8));
          out.push_back(static_cast<char>(reply.size() & 0xFF));
          out += reply;
          send(fd, out.data(), out.size(), MSG_NOSIGNAL);
        }
      }
    }
    close(fd);
  }

  void Run() {
    for (;;) {
      pollfd p[3] = {{Udp, POLLIN, 0}, {Tcp, POLLIN, 0}, {Wake, POLLIN, 0}};
      if (poll(p, 3, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (p[2].revents) return;
      if (p[0].revents) ServeUdp();
      if (p[1].revents) ServeTcp();
    }
  }
};

DnsTestServer::DnsTestServer() : state_(std::make_unique<State>()) {
  // UDP on a port the kernel picks, then TCP on the same number; another program may hold that
  // TCP port, so a few tries.
  for (int attempt = 0; attempt < 20 && state_->Tcp < 0; ++attempt) {
    if (state_->Udp >= 0) close(state_->Udp);
    state_->Udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(state_->Udp, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(state_->Udp, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("DnsTestServer: cannot bind UDP");
    state_->Port = ntohs(address.sin_port);
    const int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(tcp, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(tcp, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(tcp, 8) == 0) {
      state_->Tcp = tcp;
    } else {
      close(tcp);
    }
  }
  if (state_->Tcp < 0) throw std::runtime_error("DnsTestServer: cannot bind TCP");
  state_->Wake = eventfd(0, EFD_CLOEXEC);
  state_->Worker = std::thread([s = state_.get()] { s->Run(); });
}

DnsTestServer::~DnsTestServer() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(state_->Wake, &one, sizeof one);
  state_->Worker.join();
  close(state_->Udp);
  close(state_->Tcp);
  close(state_->Wake);
}

std::string DnsTestServer::Address() const { return "127.0.0.1:" + std::to_string(state_->Port); }

uint16_t DnsTestServer::Port() const { return state_->Port; }

void DnsTestServer::Enqueue(DnsReplyScript script) {
  std::lock_guard lock(state_->Mutex);
  state_->Queue.push_back(std::move(script));
}

void DnsTestServer::SetDefault(DnsReplyScript script) {
  std::lock_guard lock(state_->Mutex);
  state_->Default = std::move(script);
}

void DnsTestServer::DropFirst(int count) {
  std::lock_guard lock(state_->Mutex);
  state_->DropCount = count;
}

std::vector<DnsQueryRecord> DnsTestServer::Queries() const {
  std::lock_guard lock(state_->Mutex);
  return state_->Queries;
}

size_t DnsTestServer::QueryCount() const {
  std::lock_guard lock(state_->Mutex);
  return state_->Queries.size();
}
