// A small XML element builder and the XML export of the log, which cuts each stored report
// into its general sections, call stack, modules, processes, assembler and CPU parts.
#pragma once

#include <memory>
#include <string>
#include <vector>

class TXMLItem;

// The children of an element; owns them.
class TXMLItems {
 public:
  TXMLItem* Add(TXMLItem* parent, const std::string& name);
  size_t Count() const { return items_.size(); }
  TXMLItem& operator[](size_t i) const { return *items_[i]; }

 private:
  std::vector<std::unique_ptr<TXMLItem>> items_;
};

class TXMLItem {
 public:
  explicit TXMLItem(std::string name, TXMLItem* parent = nullptr) : name_(std::move(name)), parent_(parent) {}

  void AddAttribute(const std::string& name, const std::string& value);
  TXMLItem* AddChild(const std::string& name) { return children_.Add(this, name); }
  // The element with its children, each line ending in CR LF, indented by `indent`.
  std::string GetXML(const std::string& indent = {}) const;

  const std::string& Name() const { return name_; }
  TXMLItem* Parent() const { return parent_; }
  const TXMLItems& Children() const { return children_; }

  std::string InnerText;  // written as it is

 private:
  void Write(std::string& out, const std::string& indent) const;

  std::string name_;
  std::string attributes_;
  TXMLItem* parent_;
  TXMLItems children_;
};

// Attribute text: UTF-8 code points as numeric references ("&#233;", at least three digits) for
// the markup characters, tab, LF, CR and everything from 127 on; other control characters and
// code points XML cannot hold become "&#65533;"; a byte that is not part of valid UTF-8 is
// taken as the code point of its value.
std::string XmlEscape(const std::string& text);

// "<Doc>", one Log element per entry, "</Doc>"; lines end in CR LF, no XML declaration.
std::string LogEntriesToXML(const std::vector<std::string>& entries, const std::string& password);
