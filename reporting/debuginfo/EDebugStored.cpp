#include "reporting/debuginfo/EDebugStored.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>
#include <unordered_map>

#include "runtime/SysUtils.h"

namespace {

constexpr char kMagic[4] = {'T', 'L', 'D', 'I'};
constexpr uint16_t kVersion = 1;
constexpr uint16_t kFlagEnciphered = 1;
constexpr size_t kSaltSize = 16, kNonceSize = 12, kTagSize = 16, kKeySize = 32;
constexpr uint32_t kIterations = 100000;
// Damaged fields must not make us allocate or compute without bound.
constexpr uint32_t kMaxPayload = 1u << 30;
constexpr uint32_t kMaxIterations = 10000000;

// Step operations. Below kOpLine a step is one byte: the code offset advances by op / 14
// and the innermost line by op % 14 - 5.
constexpr uint8_t kSpecialLineBase = 5, kSpecialLineRange = 14, kSpecialAddrRange = 16;
constexpr uint8_t kOpLine = kSpecialLineRange * kSpecialAddrRange;  // addr, line delta
constexpr uint8_t kOpFile = kOpLine + 1;                            // addr, file, line delta
constexpr uint8_t kOpChain = kOpLine + 2;  // addr, kept outer levels, new levels (proc, file, line delta)

// ---- little helpers ----

void PutVar(std::string& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<char>((v & 0x7F) | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}
void PutSigned(std::string& out, int64_t v) {
  PutVar(out, (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63));
}
void PutLe(std::string& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// Reads from a byte range; every read past the end or of an overlong number sets `Failed`.
struct TReader {
  const unsigned char* At;
  const unsigned char* End;
  bool Failed = false;

  explicit TReader(std::string_view s)
      : At(reinterpret_cast<const unsigned char*>(s.data())), End(At + s.size()) {}
  bool AtEnd() const { return At >= End; }
  uint64_t Var() {
    uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (At >= End) break;
      uint8_t b = *At++;
      v |= uint64_t{b & 0x7Fu} << shift;
      if (!(b & 0x80)) return v;
    }
    Failed = true;
    return 0;
  }
  int64_t Signed() {
    uint64_t v = Var();
    return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1);
  }
  uint64_t Le(int bytes) {
    if (End - At < bytes) {
      Failed = true;
      return 0;
    }
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint64_t{At[i]} << (8 * i);
    At += bytes;
    return v;
  }
  uint8_t Byte() { return static_cast<uint8_t>(Le(1)); }
  std::string_view Bytes(uint64_t n) {
    if (static_cast<uint64_t>(End - At) < n) {
      Failed = true;
      return {};
    }
    std::string_view v(reinterpret_cast<const char*>(At), n);
    At += n;
    return v;
  }
};

std::string Base64(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string DeriveKey(const std::string& password, std::string_view salt, uint32_t iterations) {
  std::string key(kKeySize, '\0');
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                        reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                        static_cast<int>(iterations), EVP_sha256(), static_cast<int>(key.size()),
                        reinterpret_cast<unsigned char*>(key.data())) != 1)
    throw Exception("Cannot derive the key of the debug information");
  return key;
}

struct TCipherCtx {
  EVP_CIPHER_CTX* Ctx = EVP_CIPHER_CTX_new();
  ~TCipherCtx() { EVP_CIPHER_CTX_free(Ctx); }
};

// AES-256-GCM over the name bytes in place; the build-id is authenticated with them.
void Encipher(std::string& bytes, const std::string& key, std::string_view nonce, std::string_view aad,
              std::string& tag) {
  TCipherCtx c;
  int len = 0;
  auto u = [](auto* p) { return reinterpret_cast<unsigned char*>(const_cast<char*>(p)); };
  bool ok = c.Ctx && EVP_EncryptInit_ex(c.Ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
            EVP_CIPHER_CTX_ctrl(c.Ctx, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(nonce.size()), nullptr) == 1 &&
            EVP_EncryptInit_ex(c.Ctx, nullptr, nullptr, u(key.data()), u(nonce.data())) == 1 &&
            EVP_EncryptUpdate(c.Ctx, nullptr, &len, u(aad.data()), static_cast<int>(aad.size())) == 1 &&
            EVP_EncryptUpdate(c.Ctx, u(bytes.data()), &len, u(bytes.data()), static_cast<int>(bytes.size())) == 1 &&
            EVP_EncryptFinal_ex(c.Ctx, u(bytes.data()) + len, &len) == 1;
  tag.assign(kTagSize, '\0');
  if (!ok || EVP_CIPHER_CTX_ctrl(c.Ctx, EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize), tag.data()) != 1)
    throw Exception("Cannot encipher the names of the debug information");
}

// Whether the tag holds; `bytes` then holds the clear names.
bool Decipher(std::string& bytes, const std::string& key, std::string_view nonce, std::string_view aad,
              std::string_view tag) {
  TCipherCtx c;
  int len = 0;
  auto u = [](auto* p) { return reinterpret_cast<unsigned char*>(const_cast<char*>(p)); };
  std::string clear(bytes.size(), '\0');
  std::string tagCopy(tag);
  bool ok = c.Ctx && EVP_DecryptInit_ex(c.Ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
            EVP_CIPHER_CTX_ctrl(c.Ctx, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(nonce.size()), nullptr) == 1 &&
            EVP_DecryptInit_ex(c.Ctx, nullptr, nullptr, u(key.data()), u(nonce.data())) == 1 &&
            EVP_DecryptUpdate(c.Ctx, nullptr, &len, u(aad.data()), static_cast<int>(aad.size())) == 1 &&
            EVP_DecryptUpdate(c.Ctx, u(clear.data()), &len, u(bytes.data()), static_cast<int>(bytes.size())) == 1 &&
            EVP_CIPHER_CTX_ctrl(c.Ctx, EVP_CTRL_GCM_SET_TAG, static_cast<int>(tagCopy.size()), tagCopy.data()) == 1 &&
            EVP_DecryptFinal_ex(c.Ctx, u(clear.data()) + len, &len) == 1;
  if (ok) bytes = std::move(clear);
  return ok;
}

// ---- the decoded block ----

// One level of the chain while the steps are walked; outermost first.
struct TLevel {
  uint32_t Proc = 0;  // 0 none, else procedure index + 1
  bool Inlined = false;
  uint32_t File = 0;
  int32_t Line = 0;
  friend bool operator==(const TLevel&, const TLevel&) = default;
};

struct TProc {
  uint32_t ClassName = 0, Name = 0;
  int32_t DeclLine = 0;
};

struct TUnitIndex {
  uint32_t Name = 0;
  int32_t FirstLine = 0;
  uint64_t Start = 0, Size = 0;
  std::string_view Steps;
};

}  // namespace

struct TTLDebugInfoStored::TData {
  std::string Payload;
  std::string NameBytes;
  std::vector<std::pair<uint32_t, uint32_t>> Names;  // offset, length in NameBytes
  std::vector<uint32_t> Files;                       // name indexes
  std::vector<TProc> Procs;
  std::vector<TUnitIndex> Units;        // stored order
  std::vector<uint32_t> UnitsByStart;   // indexes into Units
  bool Enciphered = false;
  bool PasswordValid = false;

  std::string_view Raw(uint32_t name) const {
    return std::string_view(NameBytes).substr(Names[name].first, Names[name].second);
  }
  // A name as shown: readable, or "?"+Base64 ("?p" for source and unit names).
  std::string Text(uint32_t name, bool source) const {
    std::string_view raw = Raw(name);
    if (raw.empty() || PasswordValid) return std::string(raw);
    return (source ? "?p" : "?") + Base64(raw);
  }

  // Walks a unit's steps, calling `range(start, chain)` for each; stops early when it returns
  // false. Whether the steps are well-formed.
  template <class F>
  bool Walk(const TUnitIndex& unit, F&& range) const {
    TReader r(unit.Steps);
    std::vector<TLevel> chain;
    uint64_t address = unit.Start;
    int64_t line = unit.FirstLine;
    const uint64_t end = unit.Start + unit.Size;
    auto lineOk = [](int64_t l) { return l >= INT32_MIN && l <= INT32_MAX; };
    while (!r.AtEnd()) {
      uint8_t op = r.Byte();
      if (op < kOpLine) {
        if (chain.empty()) return false;
        address += op / kSpecialLineRange;
        line += op % kSpecialLineRange - kSpecialLineBase;
        if (!lineOk(line)) return false;
        chain.back().Line = static_cast<int32_t>(line);
      } else if (op == kOpLine || op == kOpFile) {
        if (chain.empty()) return false;
        address += r.Var();
        if (op == kOpFile) {
          uint64_t file = r.Var();
          if (file >= Files.size()) return false;
          chain.back().File = static_cast<uint32_t>(file);
        }
        line += r.Signed();
        if (!lineOk(line)) return false;
        chain.back().Line = static_cast<int32_t>(line);
      } else if (op == kOpChain) {
        address += r.Var();
        uint64_t keep = r.Var(), count = r.Var();
        if (r.Failed || keep > chain.size() || count > static_cast<uint64_t>(r.End - r.At)) return false;
        chain.resize(keep);
        for (uint64_t i = 0; i < count; ++i) {
          TLevel level;
          uint64_t proc = r.Var(), file = r.Var();
          line += r.Signed();
          level.Inlined = proc & 1;
          proc >>= 1;
          if (proc > Procs.size() || file >= Files.size() || !lineOk(line)) return false;
          level.Proc = static_cast<uint32_t>(proc);
          level.File = static_cast<uint32_t>(file);
          level.Line = static_cast<int32_t>(line);
          chain.push_back(level);
        }
        // Leaving inlined levels makes a kept level the innermost one.
        if (!chain.empty()) line = chain.back().Line;
      } else {
        return false;
      }
      if (r.Failed || address < unit.Start || address >= end) return false;
      if (!range(address, chain)) return true;
    }
    return true;
  }

  TStoredFrame Frame(const TLevel& level) const {
    TStoredFrame f;
    f.SourceName = Text(Files[level.File], true);
    if (level.Proc) {
      const TProc& p = Procs[level.Proc - 1];
      f.ClassName = Text(p.ClassName, false);
      f.ProcedureName = Text(p.Name, false);
      f.DeclLine = p.DeclLine;
    }
    f.LineNumber = level.Line;
    f.Inlined = level.Inlined;
    return f;
  }
};

namespace {

using TData = TTLDebugInfoStored::TData;

std::unique_ptr<TData> Decode(std::string_view blob, const std::string& password, std::string* buildId) {
  try {
    TReader h(blob);
    if (h.Bytes(4) != std::string_view(kMagic, 4) || h.Le(2) != kVersion) return nullptr;
    auto data = std::make_unique<TData>();
    uint16_t flags = static_cast<uint16_t>(h.Le(2));
    std::string_view id = h.Bytes(h.Byte());
    data->Enciphered = flags & kFlagEnciphered;
    std::string_view salt, nonce, tag;
    uint32_t iterations = 0;
    if (data->Enciphered) {
      salt = h.Bytes(kSaltSize);
      iterations = static_cast<uint32_t>(h.Le(4));
      nonce = h.Bytes(kNonceSize);
      tag = h.Bytes(kTagSize);
    }
    uint32_t payloadSize = static_cast<uint32_t>(h.Le(4));
    std::string_view compressed = h.Bytes(h.Le(4));
    if (h.Failed || payloadSize > kMaxPayload || iterations > kMaxIterations) return nullptr;
    if (buildId) *buildId = std::string(id);

    data->Payload.resize(payloadSize);
    uLongf outSize = payloadSize;
    if (uncompress(reinterpret_cast<Bytef*>(data->Payload.data()), &outSize,
                   reinterpret_cast<const Bytef*>(compressed.data()), static_cast<uLong>(compressed.size())) != Z_OK ||
        outSize != payloadSize)
      return nullptr;

    TReader r(data->Payload);
    uint64_t nameCount = r.Var();
    if (r.Failed || nameCount == 0 || nameCount > payloadSize) return nullptr;
    uint64_t offset = 0;
    data->Names.reserve(nameCount);
    for (uint64_t i = 0; i < nameCount && !r.Failed; ++i) {
      uint64_t length = r.Var();
      if (length > payloadSize) return nullptr;
      data->Names.emplace_back(static_cast<uint32_t>(offset), static_cast<uint32_t>(length));
      offset += length;
    }
    data->NameBytes = std::string(r.Bytes(offset));
    if (r.Failed || data->Names[0].second != 0) return nullptr;
    if (data->Enciphered && !password.empty() && iterations > 0)
      data->PasswordValid = Decipher(data->NameBytes, DeriveKey(password, salt, iterations), nonce, id, tag);
    else
      data->PasswordValid = !data->Enciphered;

    uint64_t fileCount = r.Var();
    if (r.Failed || fileCount > payloadSize) return nullptr;
    for (uint64_t i = 0; i < fileCount; ++i) {
      uint64_t name = r.Var();
      if (name >= nameCount) return nullptr;
      data->Files.push_back(static_cast<uint32_t>(name));
    }
    uint64_t procCount = r.Var();
    if (r.Failed || procCount > payloadSize) return nullptr;
    int64_t declLine = 0;
    for (uint64_t i = 0; i < procCount; ++i) {
      TProc p;
      uint64_t cls = r.Var(), name = r.Var();
      declLine += r.Signed();
      if (cls >= nameCount || name >= nameCount || declLine < INT32_MIN || declLine > INT32_MAX) return nullptr;
      p.ClassName = static_cast<uint32_t>(cls);
      p.Name = static_cast<uint32_t>(name);
      p.DeclLine = static_cast<int32_t>(declLine);
      data->Procs.push_back(p);
    }
    uint64_t unitCount = r.Var();
    if (r.Failed || unitCount > payloadSize) return nullptr;
    uint64_t start = 0;
    for (uint64_t i = 0; i < unitCount; ++i) {
      TUnitIndex u;
      uint64_t name = r.Var();
      int64_t firstLine = r.Signed();
      start += static_cast<uint64_t>(r.Signed());
      u.Size = r.Var();
      u.Steps = r.Bytes(r.Var());
      if (r.Failed || name >= nameCount || firstLine < INT32_MIN || firstLine > INT32_MAX ||
          start + u.Size < start)
        return nullptr;
      u.Name = static_cast<uint32_t>(name);
      u.FirstLine = static_cast<int32_t>(firstLine);
      u.Start = start;
      if (!data->Walk(u, [](uint64_t, const std::vector<TLevel>&) { return true; })) return nullptr;
      data->Units.push_back(u);
    }
    if (r.Failed || !r.AtEnd()) return nullptr;

    data->UnitsByStart.resize(data->Units.size());
    for (uint32_t i = 0; i < data->Units.size(); ++i) data->UnitsByStart[i] = i;
    std::stable_sort(data->UnitsByStart.begin(), data->UnitsByStart.end(),
                     [&](uint32_t a, uint32_t b) { return data->Units[a].Start < data->Units[b].Start; });
    return data;
  } catch (const Exception&) {
    return nullptr;
  }
}

// Collects names, files and procedures with each stored once.
class TNameTable {
 public:
  TNameTable() { Name(""); }
  uint32_t Name(const std::string& s) {
    auto [it, added] = names_.emplace(s, static_cast<uint32_t>(order_.size()));
    if (added) order_.push_back(s);
    return it->second;
  }
  uint32_t File(const std::string& s) {
    uint32_t n = Name(s);
    auto [it, added] = files_.emplace(n, static_cast<uint32_t>(fileOrder_.size()));
    if (added) fileOrder_.push_back(n);
    return it->second;
  }
  // 0 for a level without a procedure, else index + 1.
  uint32_t Proc(const TStoredFrame& f) {
    if (f.ClassName.empty() && f.ProcedureName.empty() && f.DeclLine == 0) return 0;
    TProc p{Name(f.ClassName), Name(f.ProcedureName), f.DeclLine};
    auto key = std::make_tuple(p.ClassName, p.Name, p.DeclLine);
    auto [it, added] = procs_.emplace(key, static_cast<uint32_t>(procOrder_.size()));
    if (added) procOrder_.push_back(p);
    return it->second + 1;
  }
  const std::vector<std::string>& Names() const { return order_; }
  const std::vector<uint32_t>& Files() const { return fileOrder_; }
  const std::vector<TProc>& Procs() const { return procOrder_; }

 private:
  std::unordered_map<std::string, uint32_t> names_;
  std::vector<std::string> order_;
  std::map<uint32_t, uint32_t> files_;
  std::vector<uint32_t> fileOrder_;
  std::map<std::tuple<uint32_t, uint32_t, int32_t>, uint32_t> procs_;
  std::vector<TProc> procOrder_;
};

std::string EncodeSteps(const TStoredUnit& unit, TNameTable& names) {
  std::string out;
  std::vector<TLevel> prev;
  uint64_t address = unit.Start;
  int64_t line = unit.FirstLine;
  for (const TStoredRange& range : unit.Ranges) {
    if (range.Start < address || range.Start >= unit.Start + unit.Size)
      throw Exception("Range at %x lies outside its unit or out of order", {static_cast<unsigned long long>(range.Start)});
    std::vector<TLevel> chain;
    for (auto f = range.Frames.rbegin(); f != range.Frames.rend(); ++f)
      chain.push_back({names.Proc(*f), f->Inlined, names.File(f->SourceName), f->LineNumber});
    uint64_t delta = range.Start - address;
    size_t keep = 0;
    while (keep < chain.size() && keep < prev.size() && chain[keep] == prev[keep]) ++keep;
    bool innerOnly = !chain.empty() && chain.size() == prev.size() && keep + 1 >= chain.size() &&
                     chain.back().Proc == prev.back().Proc && chain.back().Inlined == prev.back().Inlined;
    int64_t lineDelta = chain.empty() ? 0 : chain.back().Line - line;
    if (innerOnly && chain.back().File == prev.back().File) {
      if (delta < kSpecialAddrRange && lineDelta >= -kSpecialLineBase &&
          lineDelta < kSpecialLineRange - kSpecialLineBase) {
        out.push_back(static_cast<char>(delta * kSpecialLineRange + (lineDelta + kSpecialLineBase)));
      } else {
        out.push_back(static_cast<char>(kOpLine));
        PutVar(out, delta);
        PutSigned(out, lineDelta);
      }
    } else if (innerOnly) {
      out.push_back(static_cast<char>(kOpFile));
      PutVar(out, delta);
      PutVar(out, chain.back().File);
      PutSigned(out, lineDelta);
    } else {
      out.push_back(static_cast<char>(kOpChain));
      PutVar(out, delta);
      PutVar(out, keep);
      PutVar(out, chain.size() - keep);
      for (size_t i = keep; i < chain.size(); ++i) {
        PutVar(out, uint64_t{chain[i].Proc} << 1 | chain[i].Inlined);
        PutVar(out, chain[i].File);
        PutSigned(out, chain[i].Line - line);
        line = chain[i].Line;
      }
    }
    if (!chain.empty()) line = chain.back().Line;
    address = range.Start;
    prev = std::move(chain);
  }
  return out;
}

}  // namespace

std::string EncodeStoredDebugInfo(const TStoredDebugTable& table, const std::string& password) {
  if (table.BuildId.size() > 255) throw Exception("The build-id is too long");
  TNameTable names;
  std::vector<std::string> steps;
  std::vector<uint32_t> unitNames;
  for (const TStoredUnit& unit : table.Units) {
    if (unit.Start + unit.Size < unit.Start) throw Exception("Unit \"%s\" wraps around", {unit.Name});
    unitNames.push_back(names.Name(unit.Name));
    steps.push_back(EncodeSteps(unit, names));
  }

  std::string nameBytes;
  for (const std::string& n : names.Names()) nameBytes += n;
  std::string salt, nonce, tag, key;
  if (!password.empty()) {
    salt.assign(kSaltSize, '\0');
    nonce.assign(kNonceSize, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(salt.data()), static_cast<int>(salt.size())) != 1 ||
        RAND_bytes(reinterpret_cast<unsigned char*>(nonce.data()), static_cast<int>(nonce.size())) != 1)
      throw Exception("Cannot encipher the names of the debug information");
    Encipher(nameBytes, DeriveKey(password, salt, kIterations), nonce, table.BuildId, tag);
  }

  std::string payload;
  PutVar(payload, names.Names().size());
  for (const std::string& n : names.Names()) PutVar(payload, n.size());
  payload += nameBytes;
  PutVar(payload, names.Files().size());
  for (uint32_t f : names.Files()) PutVar(payload, f);
  PutVar(payload, names.Procs().size());
  int64_t declLine = 0;
  for (const TProc& p : names.Procs()) {
    PutVar(payload, p.ClassName);
    PutVar(payload, p.Name);
    PutSigned(payload, p.DeclLine - declLine);
    declLine = p.DeclLine;
  }
  PutVar(payload, table.Units.size());
  uint64_t start = 0;
  for (size_t i = 0; i < table.Units.size(); ++i) {
    const TStoredUnit& unit = table.Units[i];
    PutVar(payload, unitNames[i]);
    PutSigned(payload, unit.FirstLine);
    PutSigned(payload, static_cast<int64_t>(unit.Start - start));
    start = unit.Start;
    PutVar(payload, unit.Size);
    PutVar(payload, steps[i].size());
    payload += steps[i];
  }
  if (payload.size() > kMaxPayload) throw Exception("The debug information is too large");

  uLongf bound = compressBound(static_cast<uLong>(payload.size()));
  std::string compressed(bound, '\0');
  if (compress2(reinterpret_cast<Bytef*>(compressed.data()), &bound, reinterpret_cast<const Bytef*>(payload.data()),
                static_cast<uLong>(payload.size()), 9) != Z_OK)
    throw Exception("Cannot compress the debug information");
  compressed.resize(bound);

  std::string out(kMagic, 4);
  PutLe(out, kVersion, 2);
  PutLe(out, password.empty() ? 0 : kFlagEnciphered, 2);
  PutLe(out, table.BuildId.size(), 1);
  out += table.BuildId;
  if (!password.empty()) {
    out += salt;
    PutLe(out, kIterations, 4);
    out += nonce;
    out += tag;
  }
  PutLe(out, payload.size(), 4);
  PutLe(out, compressed.size(), 4);
  out += compressed;
  return out;
}

std::optional<TStoredDebugContents> DecodeStoredDebugInfo(std::string_view blob, const std::string& password) {
  std::string buildId;
  std::unique_ptr<TData> data = Decode(blob, password, &buildId);
  if (!data) return std::nullopt;
  TStoredDebugContents c;
  c.Enciphered = data->Enciphered;
  c.PasswordValid = data->PasswordValid;
  c.Table.BuildId = buildId;
  for (const TUnitIndex& u : data->Units) {
    TStoredUnit unit;
    unit.Name = data->Text(u.Name, true);
    unit.FirstLine = u.FirstLine;
    unit.Start = u.Start;
    unit.Size = u.Size;
    data->Walk(u, [&](uint64_t start, const std::vector<TLevel>& chain) {
      TStoredRange range;
      range.Start = start;
      for (auto l = chain.rbegin(); l != chain.rend(); ++l) range.Frames.push_back(data->Frame(*l));
      unit.Ranges.push_back(std::move(range));
      return true;
    });
    c.Table.Units.push_back(std::move(unit));
  }
  return c;
}

bool StoredDebugInfoEnciphered(std::string_view blob) {
  TReader h(blob);
  if (h.Bytes(4) != std::string_view(kMagic, 4) || h.Le(2) != kVersion) return false;
  return (h.Le(2) & kFlagEnciphered) && !h.Failed;
}

// ---- the source ----

TTLDebugInfoStored::TTLDebugInfoStored(const TTarvexModuleInfo& module, std::unique_ptr<TData> data)
    : TTLDebugInfoSource(module), data_(std::move(data)) {}
TTLDebugInfoStored::~TTLDebugInfoStored() = default;

bool TTLDebugInfoStored::InitializeSource() { return IsSourceValid(); }
bool TTLDebugInfoStored::IsSourceValid() const { return data_ != nullptr; }
bool TTLDebugInfoStored::NamesEnciphered() const { return data_ && data_->Enciphered; }
bool TTLDebugInfoStored::PasswordValid() const { return data_ && data_->PasswordValid; }

bool TTLDebugInfoStored::GetLocationInfo(uintptr_t address, std::vector<TTLLocationInfo>& frames) const {
  frames.clear();
  if (!data_) return false;
  uint64_t offset = ModuleRelativeAddress(address);
  const auto& order = data_->UnitsByStart;
  auto it = std::upper_bound(order.begin(), order.end(), offset,
                             [&](uint64_t a, uint32_t u) { return a < data_->Units[u].Start; });
  // Units do not overlap in a real module; should they, the nearest start that holds the
  // address wins.
  while (it != order.begin()) {
    const TUnitIndex& unit = data_->Units[*--it];
    if (offset - unit.Start >= unit.Size) continue;
    std::vector<TLevel> found;
    data_->Walk(unit, [&](uint64_t start, const std::vector<TLevel>& chain) {
      if (start > offset) return false;
      found = chain;
      return true;
    });
    if (found.empty()) return false;
    for (auto l = found.rbegin(); l != found.rend(); ++l) {
      TStoredFrame f = data_->Frame(*l);
      TTLLocationInfo info;
      info.Address = address;
      info.SourceName = f.SourceName;
      // A name that could not be read is shown whole.
      size_t slash = data_->PasswordValid ? f.SourceName.rfind('/') : std::string::npos;
      info.UnitName = slash == std::string::npos ? f.SourceName : f.SourceName.substr(slash + 1);
      info.ClassName = std::move(f.ClassName);
      info.ProcedureName = std::move(f.ProcedureName);
      info.LineNumber = f.LineNumber;
      info.LineOffset = f.DeclLine > 0 ? std::max(0, f.LineNumber - f.DeclLine) : 0;
      info.Inlined = f.Inlined;
      info.Source = this;
      frames.push_back(std::move(info));
    }
    return !frames.front().UnitName.empty();
  }
  return false;
}

std::unique_ptr<TTLDebugInfoSource> MakeStoredDebugSource(const TTarvexModuleInfo& module, std::string_view blob,
                                                          const std::string& password) {
  std::string buildId;
  std::unique_ptr<TData> data = Decode(blob, password, &buildId);
  if (!data || buildId != module.BuildId) return nullptr;
  return std::unique_ptr<TTLDebugInfoSource>(new TTLDebugInfoStored(module, std::move(data)));
}
