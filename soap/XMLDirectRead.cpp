// The direct reader of the read-only tree: one pass over plain UTF-8, libxml2 left for the rest.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "soap/XMLReadNodes.h"

namespace xmlread::nodes {
namespace {

// Byte classes of the direct reader.
enum : uint8_t { kNameStart = 1, kNameChar = 2, kBlank = 4, kPlain = 8, kValue = 16 };
struct TByteClasses {
  uint8_t c[256] = {};
  constexpr TByteClasses() {
    for (int i = 0x20; i < 0x80; ++i) c[i] = kPlain;
    for (int i = 'a'; i <= 'z'; ++i) c[i] |= kNameStart | kNameChar;
    for (int i = 'A'; i <= 'Z'; ++i) c[i] |= kNameStart | kNameChar;
    for (int i = '0'; i <= '9'; ++i) c[i] |= kNameChar;
    c['_'] |= kNameStart | kNameChar;
    c['-'] |= kNameChar;
    c['.'] |= kNameChar;
    c[' '] = kBlank;
    c['\t'] = kBlank;
    c['\n'] = kBlank;
    for (unsigned char s : {'<', '&', ']', '"', '\''}) c[s] = 0;
    // As is in an attribute value, quotes apart.
    for (int i = 0x20; i < 0x80; ++i)
      if (i != '<' && i != '&' && i != '"' && i != '\'') c[i] |= kValue;
  }
};
constexpr TByteClasses kByteClass{};

// ---- the direct reader ----
//
// Most answers are UTF-8 with elements, attributes, namespaces and text only. Those are read
// here in one pass to the tree libxml2's parse would give, several times faster. Anything else
// (a declared encoding other than UTF-8, a byte-order mark, a DTD, comments, instructions,
// CDATA, entities other than the five predefined ones and character references, line ends to
// normalise, mixed content, a prefix that libxml2 would report, or a document near one of its
// limits) makes the reader give up, and libxml2 reads the document with its own rules and errors.
class TDirectReader {
 public:
  TDirectReader(TReadDoc* doc, std::string_view bytes)
      : doc_(doc), begin_(bytes.data()), p_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  bool Read() {
    // Below libxml2's limits on names, text and its dictionary, which the reader does not count.
    if (end_ - p_ >= kMaxDocument) return false;
    // Names, values and text stay where they are in a copy of the document, each ended by a
    // NUL over the delimiter after it, instead of one copy each.
    copy_ = static_cast<char*>(doc_->arena.Alloc(static_cast<size_t>(end_ - begin_) + 1));
    std::memcpy(copy_, begin_, static_cast<size_t>(end_ - begin_));
    if (end_ - p_ >= 5 && std::memcmp(p_, "<?xml", 5) == 0 && !Declaration()) return false;
    SkipBlanks();
    if (p_ >= end_ || *p_ != '<') return false;
    if (!StartTag()) return false;
    while (!open_.empty()) {
      if (!Text()) return false;
      if (end_ - p_ < 2) return false;
      if (p_[1] == '/') {
        if (!EndTag()) return false;
      } else if (p_[1] == '!' || p_[1] == '?' || !StartTag()) {
        return false;
      }
    }
    SkipBlanks();
    return p_ == end_;
  }

 private:
  static constexpr ptrdiff_t kMaxDocument = ptrdiff_t{8} << 20;
  // Each bounds the work per tag: the depth, a name, the attributes of an element and the
  // namespace bindings in scope (searched for every prefix the memo does not hold).
  static constexpr size_t kMaxDepth = 200, kMaxName = 1000, kMaxAttributes = 32, kMaxBindings = 128;

  static uint8_t Class(char c) { return kByteClass.c[static_cast<unsigned char>(c)]; }

  struct TOpen {
    TRNode* e;
    TRNode* last;
    std::string_view qname;  // as written, for the end tag
    size_t bindings;         // the namespace bindings in scope outside it
    bool hasChild;
    std::string_view text;   // the text just read in it
    bool decoded;            // which is in text_, not in the document
  };
  struct TBinding {
    std::string_view prefix;  // empty: the default namespace
    const char* uri;
  };
  struct TMemo {
    std::string_view prefix;
    const char* uri;
    uint64_t generation;
  };
  struct TAttr {
    std::string_view prefix, local, value;
    const char* uri;
  };

  void SkipBlanks() {
    while (p_ < end_ && (Class(*p_) & kBlank)) ++p_;
  }
  bool Blank() {
    const char* at = p_;
    SkipBlanks();
    return p_ != at;
  }
  bool Expect(char c) {
    if (p_ >= end_ || *p_ != c) return false;
    ++p_;
    return true;
  }

  // One UTF-8 character of XML's range (not U+FFFE, U+FFFF or a surrogate).
  bool Utf8() {
    const auto* s = reinterpret_cast<const unsigned char*>(p_);
    const ptrdiff_t left = end_ - p_;
    auto cont = [&](int i) { return i < left && (s[i] & 0xC0) == 0x80; };
    if (s[0] >= 0xC2 && s[0] <= 0xDF) {
      if (!cont(1)) return false;
      p_ += 2;
      return true;
    }
    if (s[0] >= 0xE0 && s[0] <= 0xEF) {
      if (!cont(1) || !cont(2)) return false;
      if (s[0] == 0xE0 && s[1] < 0xA0) return false;
      if (s[0] == 0xED && s[1] >= 0xA0) return false;
      if (s[0] == 0xEF && s[1] == 0xBF && s[2] >= 0xBE) return false;
      p_ += 3;
      return true;
    }
    if (s[0] >= 0xF0 && s[0] <= 0xF4) {
      if (!cont(1) || !cont(2) || !cont(3)) return false;
      if ((s[0] == 0xF0 && s[1] < 0x90) || (s[0] == 0xF4 && s[1] >= 0x90)) return false;
      p_ += 4;
      return true;
    }
    return false;
  }

  bool NCName(std::string_view& name) {
    const char* at = p_;
    if (p_ >= end_ || !(Class(*p_) & kNameStart)) return false;
    ++p_;
    while (p_ < end_ && (Class(*p_) & kNameChar)) ++p_;
    if (static_cast<size_t>(p_ - at) > kMaxName) return false;
    name = std::string_view(at, static_cast<size_t>(p_ - at));
    return true;
  }
  bool QName(std::string_view& prefix, std::string_view& local) {
    prefix = {};
    if (!NCName(local)) return false;
    if (p_ < end_ && *p_ == ':') {
      ++p_;
      prefix = local;
      if (!NCName(local)) return false;
      if (p_ < end_ && *p_ == ':') return false;
    }
    return true;
  }

  // A quoted attribute value with nothing to replace or normalise.
  bool Value(std::string_view& value) {
    if (p_ >= end_ || (*p_ != '"' && *p_ != '\'')) return false;
    const char quote = *p_++;
    const char* at = p_;
    while (p_ < end_ && *p_ != quote) {
      const char c = *p_;
      if (Class(c) & kValue) {
        ++p_;
      } else if (c == '"' || c == '\'') {
        ++p_;
      } else if (static_cast<unsigned char>(c) >= 0x80) {
        if (!Utf8()) return false;
      } else {
        return false;  // '<', '&', and characters that libxml2 would normalise or refuse
      }
    }
    if (p_ >= end_) return false;
    value = std::string_view(at, static_cast<size_t>(p_ - at));
    ++p_;
    return true;
  }

  bool Declaration() {
    p_ += 5;
    std::string_view name, value;
    if (!Blank() || !NCName(name) || name != "version" || !Eq() || !Value(value) || value != "1.0") return false;
    doc_->version = u"1.0";
    bool blank = Blank();
    if (blank && p_ < end_ && *p_ == 'e') {
      if (!NCName(name) || name != "encoding" || !Eq() || !Value(value)) return false;
      if (!SameText(value, "UTF-8")) return false;
      doc_->encoding = Utf8ToUtf16(value);
      blank = Blank();
    }
    if (blank && p_ < end_ && *p_ == 's') {
      if (!NCName(name) || name != "standalone" || !Eq() || !Value(value)) return false;
      if (value != "yes" && value != "no") return false;
      doc_->standalone = value == "yes" ? u"yes" : u"no";
      SkipBlanks();
    }
    return Expect('?') && Expect('>');
  }
  bool Eq() {
    SkipBlanks();
    if (!Expect('=')) return false;
    SkipBlanks();
    return true;
  }

  // Prefixes are short: compared in place rather than through memcmp.
  static bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (a[i] != b[i]) return false;
    return true;
  }
  // Answers use a few prefixes over and over, declared once at the top: the last binding
  // found for each is remembered until a declaration comes or goes.
  const char* Lookup(std::string_view prefix) {
    TMemo& m = memo_[(prefix.size() + (prefix.empty() ? 0 : static_cast<unsigned char>(prefix[0]))) & 7];
    if (m.generation == generation_ && SameName(m.prefix, prefix)) return m.uri;
    const char* uri = nullptr;
    for (size_t i = bindings_.size(); i-- > 0;)
      if (SameName(bindings_[i].prefix, prefix)) {
        uri = bindings_[i].uri;
        break;
      }
    m = {prefix, uri, generation_};
    return uri;
  }
  void DropBindings(size_t outer) {
    if (bindings_.size() == outer) return;
    bindings_.resize(outer);
    ++generation_;
  }
  // `s` (a piece of the document) as a string of the copy.
  const char* Copy(std::string_view s) {
    char* c = copy_ + (s.data() - begin_);
    c[s.size()] = '\0';
    return c;
  }

  void Append(TRNode* n) {
    TRNode* parent = open_.empty() ? doc_->root : open_.back().e;
    TRNode*& last = open_.empty() ? rootLast_ : open_.back().last;
    n->parent = parent;
    n->prev = last;
    (last ? last->next : parent->first) = n;
    last = n;
  }

  bool StartTag() {
    const char* at = ++p_;
    std::string_view prefix, local;
    if (open_.size() >= kMaxDepth || !QName(prefix, local)) return false;
    const std::string_view qname(at, static_cast<size_t>(p_ - at));
    const size_t outer = bindings_.size();
    attrs_.clear();
    bool empty = false;
    for (;;) {
      const bool blank = Blank();
      if (p_ >= end_) return false;
      if (*p_ == '>') {
        ++p_;
        break;
      }
      if (*p_ == '/') {
        ++p_;
        if (!Expect('>')) return false;
        empty = true;
        break;
      }
      TAttr a;
      if (!blank || !QName(a.prefix, a.local) || !Eq() || !Value(a.value)) return false;
      if (attrs_.size() >= kMaxAttributes) return false;
      attrs_.push_back(a);
    }
    TRNode* e = doc_->New(kElement);
    // Declarations first, in their order; libxml2 refuses or reports the unusual ones.
    TRNode* tail = nullptr;
    for (TAttr& a : attrs_) {
      const bool isDefault = a.prefix.empty() && a.local == "xmlns";
      if (!isDefault && a.prefix != "xmlns") continue;
      std::string_view declared = isDefault ? std::string_view() : a.local;
      if (declared == "xml" || declared == "xmlns" || (!isDefault && a.value.empty())) return false;
      if (a.value == "http://www.w3.org/XML/1998/namespace" || a.value == "http://www.w3.org/2000/xmlns/") return false;
      if (bindings_.size() >= kMaxBindings) return false;
      for (size_t i = outer; i < bindings_.size(); ++i)
        if (bindings_[i].prefix == declared) return false;
      TRNode* d = doc_->New(kNsDecl);
      d->prefix = isDefault ? nullptr : Copy(declared);
      d->uri = Copy(a.value);
      d->parent = e;
      d->prev = tail;
      (tail ? tail->next : e->decls) = d;
      tail = d;
      bindings_.push_back({declared, d->uri});
      ++generation_;
      a.local = {};  // taken
    }
    if (prefix == "xml" || prefix == "xmlns") return false;
    const char* uri = Lookup(prefix);
    if (!prefix.empty() && !uri) return false;
    e->local = Copy(local);
    if (!prefix.empty()) e->prefix = Copy(prefix);
    e->uri = uri && *uri ? uri : nullptr;
    tail = nullptr;
    for (size_t i = 0; i < attrs_.size(); ++i) {
      TAttr& a = attrs_[i];
      if (a.local.empty()) continue;
      a.uri = nullptr;
      if (!a.prefix.empty()) {
        if (a.prefix == "xml" || !(a.uri = Lookup(a.prefix))) return false;
      }
      for (size_t j = 0; j < i; ++j) {
        const TAttr& b = attrs_[j];
        if (b.local != a.local) continue;
        if (b.prefix == a.prefix) return false;
        if (a.uri && b.uri && std::strcmp(a.uri, b.uri) == 0) return false;
      }
      TRNode* n = doc_->New(kAttribute);
      n->local = Copy(a.local);
      if (!a.prefix.empty()) {
        n->prefix = Copy(a.prefix);
        n->uri = a.uri;
      }
      n->value = Copy(a.value);
      n->length = static_cast<uint32_t>(a.value.size());
      n->parent = e;
      n->prev = tail;
      (tail ? tail->next : e->attrs) = n;
      tail = n;
    }
    Append(e);
    if (!open_.empty()) open_.back().hasChild = true;
    if (empty) {
      DropBindings(outer);
      return true;
    }
    open_.push_back({e, nullptr, qname, outer, false, {}, false});
    return true;
  }

  bool EndTag() {
    p_ += 2;
    TOpen& top = open_.back();
    if (end_ - p_ < static_cast<ptrdiff_t>(top.qname.size()) ||
        std::memcmp(p_, top.qname.data(), top.qname.size()) != 0)
      return false;
    p_ += top.qname.size();
    if (p_ < end_ && (Class(*p_) & kNameChar || *p_ == ':')) return false;
    SkipBlanks();
    if (!Expect('>')) return false;
    if (!top.hasChild && !top.text.empty()) {
      top.e->value = top.decoded ? doc_->arena.Copy(top.text.data(), top.text.size()) : Copy(top.text);
      top.e->length = static_cast<uint32_t>(top.text.size());
      top.e->inlineText = true;
    }
    DropBindings(top.bindings);
    open_.pop_back();
    return true;
  }

  // The text up to the next tag. An element holds either text or elements with white space
  // around them, which libxml2 drops (white-space-only text is kept only as an element's
  // whole content); text next to elements gives up.
  bool Text() {
    TOpen& top = open_.back();
    top.text = {};
    top.decoded = false;
    const char* at = p_;
    const char* run = p_;
    bool blank = true, decoded = false;
    while (p_ < end_) {
      const char c = *p_;
      const uint8_t k = Class(c);
      if (k & kBlank) {
        ++p_;
      } else if (k & kPlain) {
        blank = false;
        ++p_;
      } else if (c == '<') {
        break;
      } else if (c == ']' || c == '"' || c == '\'') {
        if (c == ']' && end_ - p_ >= 3 && p_[1] == ']' && p_[2] == '>') return false;
        blank = false;
        ++p_;
      } else if (static_cast<unsigned char>(c) >= 0x80) {
        if (!Utf8()) return false;
        blank = false;
      } else if (c == '&') {
        if (!decoded) text_.clear();
        decoded = true;
        text_.append(run, p_);
        if (!Reference()) return false;
        run = p_;
        blank = false;
      } else {
        return false;  // a line end to normalise, or a character XML refuses
      }
    }
    if (end_ - p_ < 2) return false;
    if (p_ == at) return true;
    if (blank) {
      // Kept only as the whole content of an element.
      if (!top.hasChild && p_[1] == '/') top.text = std::string_view(at, static_cast<size_t>(p_ - at));
      return true;
    }
    if (top.hasChild || p_[1] != '/') return false;
    if (decoded) {
      text_.append(run, p_);
      top.text = text_;
      top.decoded = true;
    } else {
      top.text = std::string_view(at, static_cast<size_t>(p_ - at));
    }
    return true;
  }

  // A predefined entity or a character reference (not white space, which libxml2 may drop).
  bool Reference() {
    ++p_;
    const char* semi = static_cast<const char*>(std::memchr(p_, ';', static_cast<size_t>(std::min<ptrdiff_t>(end_ - p_, 12))));
    if (!semi) return false;
    std::string_view name(p_, static_cast<size_t>(semi - p_));
    p_ = semi + 1;
    if (name == "lt") return text_ += '<', true;
    if (name == "gt") return text_ += '>', true;
    if (name == "amp") return text_ += '&', true;
    if (name == "quot") return text_ += '"', true;
    if (name == "apos") return text_ += '\'', true;
    if (name.size() < 2 || name[0] != '#') return false;
    const bool hex = name[1] == 'x';
    std::string_view digits = name.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 6) return false;
    uint32_t code = 0;
    for (char c : digits) {
      int d = c >= '0' && c <= '9' ? c - '0'
              : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
              : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) return false;
      code = code * (hex ? 16 : 10) + static_cast<uint32_t>(d);
    }
    if (code <= 0x20 || (code >= 0xD800 && code <= 0xDFFF) || code == 0xFFFE || code == 0xFFFF || code > 0x10FFFF)
      return false;
    AppendUtf8(text_, code);
    return true;
  }

  TReadDoc* doc_;
  const char* begin_;
  char* copy_ = nullptr;
  const char* p_;
  const char* end_;
  TRNode* rootLast_ = nullptr;
  std::vector<TOpen> open_;
  std::vector<TBinding> bindings_;
  TMemo memo_[8] = {};
  uint64_t generation_ = 1;
  std::vector<TAttr> attrs_;
  std::string text_;
};

}  // namespace

bool ReadDirect(TReadDoc* doc, std::string_view bytes) { return TDirectReader(doc, bytes).Read(); }

}  // namespace xmlread::nodes
