// Sets of enumeration members (at most 64), with the member at ordinal n at bit n.
#pragma once

#include <cstdint>
#include <initializer_list>

template <class E>
class TSet {
 public:
  using element_type = E;
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> items) {
    for (E e : items) Include(e);
  }
  static constexpr TSet FromBits(uint64_t bits) {
    TSet s;
    s.bits_ = bits;
    return s;
  }
  constexpr uint64_t Bits() const { return bits_; }
  constexpr bool Contains(E e) const { return (bits_ >> static_cast<unsigned>(e)) & 1u; }
  constexpr TSet& Include(E e) {
    bits_ |= uint64_t{1} << static_cast<unsigned>(e);
    return *this;
  }
  constexpr TSet& Exclude(E e) {
    bits_ &= ~(uint64_t{1} << static_cast<unsigned>(e));
    return *this;
  }
  constexpr TSet& Set(E e, bool on) { return on ? Include(e) : Exclude(e); }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr TSet operator+(TSet o) const { return FromBits(bits_ | o.bits_); }
  constexpr TSet operator-(TSet o) const { return FromBits(bits_ & ~o.bits_); }
  constexpr TSet operator*(TSet o) const { return FromBits(bits_ & o.bits_); }
  friend constexpr bool operator==(TSet a, TSet b) { return a.bits_ == b.bits_; }

 private:
  uint64_t bits_ = 0;
};
