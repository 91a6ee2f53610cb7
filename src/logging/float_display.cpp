// Display texts of floating-point values: the shortest decimal digits that read back as the
// value, laid out without an exponent. A file of its own, so that a program that logs no such
// value does not carry the algorithm.

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>

#include "logging/logger.hpp"

namespace vellicor {
namespace {

// An unsigned integer of fixed capacity, little-endian 32-bit words. The shortest-digits
// search below needs about 1,100 bits for the extreme doubles.
class BigUint {
 public:
  explicit BigUint(uint64_t value = 0) {
    words_[0] = static_cast<uint32_t>(value);
    words_[1] = static_cast<uint32_t>(value >> 32);
    size_ = words_[1] != 0 ? 2 : (words_[0] != 0 ? 1 : 0);
  }

  void multiply(uint32_t factor) {
    uint64_t carry = 0;
    for (size_t i = 0; i < size_; ++i) {
      const uint64_t product = uint64_t{words_[i]} * factor + carry;
      words_[i] = static_cast<uint32_t>(product);
      carry = product >> 32;
    }
    if (carry != 0) words_[size_++] = static_cast<uint32_t>(carry);
  }

  void multiply_by_power_of_ten(int exponent) {
    for (; exponent >= 9; exponent -= 9)
      multiply(1000000000);
    static constexpr uint32_t kPowers[] = {1,      10,      100,      1000,     10000,
                                           100000, 1000000, 10000000, 100000000};
    multiply(kPowers[exponent]);
  }

  void shift_left(int bits) {
    if (size_ == 0) return;
    const size_t words = static_cast<size_t>(bits) / 32;
    const int rest = bits % 32;
    words_[size_] = 0;
    for (size_t i = size_ + 1; i-- > 0;) {
      uint32_t word = words_[i] << rest;
      if (rest != 0 && i > 0) word |= words_[i - 1] >> (32 - rest);
      words_[i + words] = word;
    }
    std::fill_n(words_.begin(), words, 0u);
    size_ += words + 1;
    trim();
  }

  void add(const BigUint& other) {
    uint64_t carry = 0;
    const size_t size = std::max(size_, other.size_);
    for (size_t i = 0; i < size; ++i) {
      const uint64_t sum = uint64_t{word(i)} + other.word(i) + carry;
      words_[i] = static_cast<uint32_t>(sum);
      carry = sum >> 32;
    }
    size_ = size;
    if (carry != 0) words_[size_++] = static_cast<uint32_t>(carry);
  }

  // Requires *this >= other.
  void subtract(const BigUint& other) {
    int64_t borrow = 0;
    for (size_t i = 0; i < size_; ++i) {
      const int64_t difference = int64_t{words_[i]} - other.word(i) - borrow;
      words_[i] = static_cast<uint32_t>(difference);
      borrow = difference < 0 ? 1 : 0;
    }
    trim();
  }

  friend int compare(const BigUint& a, const BigUint& b) {
    if (a.size_ != b.size_) return a.size_ < b.size_ ? -1 : 1;
    for (size_t i = a.size_; i-- > 0;) {
      if (a.words_[i] != b.words_[i]) return a.words_[i] < b.words_[i] ? -1 : 1;
    }
    return 0;
  }

 private:
  uint32_t word(size_t i) const { return i < size_ ? words_[i] : 0; }
  void trim() {
    while (size_ > 0 && words_[size_ - 1] == 0)
      --size_;
  }

  std::array<uint32_t, 48> words_{};
  size_t size_ = 0;
};

// Lays out mantissa × 10^power without an exponent and without padding zeros after the
// point: (34, 37) is "340000000000000000000000000000000000000", (15, -8) is "0.00000015".
std::string fixed_layout(bool negative, uint64_t mantissa, int power) {
  while (mantissa != 0 && mantissa % 10 == 0) {
    mantissa /= 10;
    ++power;
  }
  char digits[24] = {};
  const int count =
      static_cast<int>(std::to_chars(digits, digits + sizeof digits, mantissa).ptr - digits);
  std::string out = negative ? "-" : "";
  if (power >= 0) {
    out.append(digits, static_cast<size_t>(count));
    if (mantissa != 0) out.append(static_cast<size_t>(power), '0');
  } else if (count + power > 0) {
    out.append(digits, static_cast<size_t>(count + power));
    out.push_back('.');
    out.append(digits + count + power, static_cast<size_t>(-power));
  } else {
    out.append("0.");
    out.append(static_cast<size_t>(-(count + power)), '0');
    out.append(digits, static_cast<size_t>(count));
  }
  return out;
}

// A finite binary floating-point number: mantissa × 2^exponent, and whether the next number
// below it is nearer than the next one above (true at the powers of two, but the smallest).
struct BinaryValue {
  uint64_t mantissa;
  int exponent;
  bool lower_gap_is_smaller;
};

template <class Bits, int kFractionBits, int kExponentBias>
BinaryValue decompose(Bits bits) {
  const Bits fraction = bits & ((Bits{1} << kFractionBits) - 1);
  const int biased = static_cast<int>((bits >> kFractionBits) &
                                      ((Bits{1} << (sizeof(Bits) * 8 - 1 - kFractionBits)) - 1));
  if (biased == 0) return {fraction, 1 - kExponentBias - kFractionBits, false};
  return {fraction | (uint64_t{1} << kFractionBits), biased - kExponentBias - kFractionBits,
          fraction == 0 && biased > 1};
}

// The shortest decimal digits that read back as the value (reading rounds to nearest, ties
// to even), the nearest of them when several are as short; the free-format algorithm of
// Steele & White in the form of Burger & Dybvig, on exact integers. Gives the value as
// mantissa × 10^power.
void shortest_digits(const BinaryValue& value, uint64_t& mantissa, int& power) {
  // value = r / s; the numbers halfway to its neighbours are (r - m_minus) / s and
  // (r + m_plus) / s.
  BigUint r(value.mantissa);
  BigUint s(1);
  BigUint m_plus(1);
  BigUint m_minus(1);
  const int gap_shift = value.lower_gap_is_smaller ? 2 : 1;
  if (value.exponent >= 0) {
    r.shift_left(value.exponent + gap_shift);
    s.shift_left(gap_shift);
    m_plus.shift_left(value.exponent + gap_shift - 1);
    m_minus.shift_left(value.exponent);
  } else {
    r.shift_left(gap_shift);
    s.shift_left(-value.exponent + gap_shift);
    m_plus.shift_left(gap_shift - 1);
  }
  // Halfway numbers read back as the value when its mantissa is even.
  const bool even = value.mantissa % 2 == 0;
  const auto above_high = [&](const BigUint& remainder) {
    BigUint high = remainder;
    high.add(m_plus);
    const int order = compare(high, s);
    return even ? order >= 0 : order > 0;
  };

  // Scale to r / s < 1 <= (r + m_plus) / s · 10: the estimate of the decimal exponent is
  // exact or one too small, and a leading zero digit does no harm either.
  const double approximate = std::ldexp(static_cast<double>(value.mantissa), value.exponent);
  int k = static_cast<int>(std::ceil(std::log10(approximate) - 1e-10));
  if (k >= 0) {
    s.multiply_by_power_of_ten(k);
  } else {
    r.multiply_by_power_of_ten(-k);
    m_plus.multiply_by_power_of_ten(-k);
    m_minus.multiply_by_power_of_ten(-k);
  }
  while (above_high(r)) {
    s.multiply(10);
    ++k;
  }

  mantissa = 0;
  int count = 0;
  for (;;) {
    r.multiply(10);
    m_plus.multiply(10);
    m_minus.multiply(10);
    uint32_t digit = 0;
    while (compare(r, s) >= 0) {
      r.subtract(s);
      ++digit;
    }
    const int low_order = compare(r, m_minus);
    const bool low = even ? low_order <= 0 : low_order < 0;
    const bool high = above_high(r);
    if (low || high) {
      if (low && high) {
        // Both digit and digit + 1 read back: take the nearer, the even one on a tie.
        BigUint twice = r;
        twice.shift_left(1);
        const int order = compare(twice, s);
        if (order > 0 || (order == 0 && digit % 2 == 1)) ++digit;
      } else if (high) {
        ++digit;
      }
      mantissa = mantissa * 10 + digit;
      ++count;
      break;
    }
    mantissa = mantissa * 10 + digit;
    ++count;
  }
  power = k - count;
}

// Shortest round-trip digits, laid out without an exponent. (std::to_chars does this, but
// its tables would add some 180 KB to the Windows executable.)
std::string float_text(double value, const BinaryValue& binary) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  const bool negative = std::signbit(value);
  if (binary.mantissa == 0) return negative ? "-0" : "0";
  uint64_t mantissa = 0;
  int power = 0;
  shortest_digits(binary, mantissa, power);
  return fixed_layout(negative, mantissa, power);
}

}  // namespace

LogValue::LogValue(double value)
    : text_(float_text(value, decompose<uint64_t, 52, 1023>(std::bit_cast<uint64_t>(value)))) {}

LogValue::LogValue(float value)
    : text_(float_text(value, decompose<uint32_t, 23, 127>(std::bit_cast<uint32_t>(value)))) {}

}  // namespace vellicor
