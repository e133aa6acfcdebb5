#include "runtime/glove_line_parser.hpp"

#include <charconv>
#include <cstddef>
#include <system_error>

namespace kelto::hand::runtime {

namespace {

// Values per item at most; longer items are left to the YAML library.
constexpr std::size_t kMaxItemValues = 16;

struct Reader {
  std::string_view text;
  std::size_t at = 0;
};

char peek(const Reader& r) {
  return r.at < r.text.size() ? r.text[r.at] : '\0';
}

void skip_spaces(Reader& r) {
  while (peek(r) == ' ') ++r.at;
}

bool take(Reader& r, char c) {
  if (peek(r) != c) return false;
  ++r.at;
  return true;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool is_lower(char c) {
  return c >= 'a' && c <= 'z';
}

// A run of lower-case letters, possibly empty.
std::string_view read_word(Reader& r) {
  const std::size_t start = r.at;
  while (is_lower(peek(r))) ++r.at;
  return r.text.substr(start, r.at - start);
}

// A word, bare or in double quotes.
std::optional<std::string_view> read_text(Reader& r) {
  const bool quoted = take(r, '"');
  const std::string_view word = read_word(r);
  if (word.empty() || (quoted && !take(r, '"'))) return std::nullopt;
  return word;
}

// A mapping key with its colon: a bare word directly followed by ": ", or a quoted word directly followed
// by ":".
std::optional<std::string_view> read_key(Reader& r) {
  const bool quoted = peek(r) == '"';
  const std::optional<std::string_view> key = read_text(r);
  if (!key || !take(r, ':') || (!quoted && peek(r) != ' ')) return std::nullopt;
  skip_spaces(r);
  return key;
}

// The characters a plain number may be made of.
std::string_view read_number_text(Reader& r) {
  const std::size_t start = r.at;
  for (char c = peek(r); is_digit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
       c = peek(r)) {
    ++r.at;
  }
  return r.text.substr(start, r.at - start);
}

std::size_t skip_digits(std::string_view text, std::size_t at) {
  while (at < text.size() && is_digit(text[at])) ++at;
  return at;
}

// An optional minus, digits with at most one decimal point (at least one digit), and an optional exponent
// of e or E, a sign and digits: the forms that the standard stream and from_chars read alike.
bool is_plain_decimal(std::string_view text) {
  const std::size_t start = text.empty() || text[0] != '-' ? 0 : 1;
  std::size_t end = skip_digits(text, start);
  std::size_t digits = end - start;
  if (end < text.size() && text[end] == '.') {
    const std::size_t fraction = skip_digits(text, end + 1);
    digits += fraction - end - 1;
    end = fraction;
  }
  if (digits == 0) return false;
  if (end < text.size() && (text[end] == 'e' || text[end] == 'E')) {
    ++end;
    if (end < text.size() && (text[end] == '+' || text[end] == '-')) ++end;
    const std::size_t digits = end;
    end = skip_digits(text, end);
    if (end == digits) return false;
  }
  return end == text.size();
}

// A decimal in range; values that would underflow or overflow are left to the YAML library.
std::optional<double> to_double(std::string_view text) {
  if (!is_plain_decimal(text)) return std::nullopt;
  double value = 0.0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// "0" or a decimal integer of up to nine digits without a leading zero, optionally negative: read as an
// integer the same by the standard stream whatever its base setting.
std::optional<bool> to_flag(std::string_view text) {
  const std::size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
  const std::string_view digits = text.substr(start);
  if (digits.empty() || digits.size() > 9 || skip_digits(digits, 0) != digits.size()) return std::nullopt;
  if (digits.size() > 1 && digits[0] == '0') return std::nullopt;
  return digits != "0";
}

// "[a, b, ...]" of plain numbers; `count` is set to the number of values.
bool read_item_values(Reader& r, std::array<std::string_view, kMaxItemValues>& values, std::size_t& count) {
  if (!take(r, '[')) return false;
  count = 0;
  do {
    skip_spaces(r);
    if (count == kMaxItemValues) return false;
    values[count] = read_number_text(r);
    if (values[count].empty()) return false;
    ++count;
    skip_spaces(r);
  } while (take(r, ','));
  return take(r, ']');
}

// The values of items from..from+n-1 into `out`.
template <std::size_t N>
bool convert_values(const std::array<std::string_view, kMaxItemValues>& values, std::size_t from,
                    std::array<double, N>& out, std::size_t n = N) {
  for (std::size_t k = 0; k < n; ++k) {
    const std::optional<double> value = to_double(values[from + k]);
    if (!value) return false;
    out[k] = *value;
  }
  return true;
}

// One finger item: [valid, x, y, z] with roll, pitch, yaw (seven or more values) or w, x, y, z (quaternion
// form, eight or more). Values past those read must still be plain numbers.
std::optional<GloveSampleValues> read_item(Reader& r, bool quaternion_form) {
  std::array<std::string_view, kMaxItemValues> values;
  std::size_t count = 0;
  if (!read_item_values(r, values, count) || count < (quaternion_form ? 8u : 4u)) return std::nullopt;
  GloveSampleValues sample;
  const std::optional<bool> valid = to_flag(values[0]);
  if (!valid || !convert_values(values, 1, sample.position)) return std::nullopt;
  sample.valid = *valid;
  std::size_t used = 4;
  if (quaternion_form) {
    sample.orientation_form = GloveOrientationForm::quaternion;
    used = 8;
  } else if (count >= 7) {
    sample.orientation_form = GloveOrientationForm::rpy;
    used = 7;
  }
  if (used > 4 && !convert_values(values, 4, sample.orientation, used - 4)) return std::nullopt;
  for (std::size_t k = used; k < count; ++k) {
    if (!to_double(values[k])) return std::nullopt;
  }
  return sample;
}

bool read_list(Reader& r, GloveLineValues& line) {
  if (!take(r, '[')) return false;
  skip_spaces(r);
  if (take(r, ']')) return true;
  do {
    skip_spaces(r);
    std::optional<GloveSampleValues> sample = read_item(r, line.quaternion_form);
    if (!sample) return false;
    line.samples.push_back(*sample);
    skip_spaces(r);
  } while (take(r, ','));
  return take(r, ']');
}

bool is_pose_tag(std::string_view tag) {
  return tag == "p" || tag == "pose" || tag == "o" || tag == "overview";
}

// The entries seen so far; each of the two may come once.
struct Entries {
  bool tag = false;
  bool list = false;
};

bool read_entry(Reader& r, Entries& seen, GloveLineValues& line) {
  const std::optional<std::string_view> key = read_key(r);
  if (!key) return false;
  if (*key == "t" || *key == "type") {
    if (seen.tag) return false;
    seen.tag = true;
    const std::optional<std::string_view> tag = read_text(r);
    return tag && is_pose_tag(*tag);
  }
  if (*key == "fs" || *key == "fingers" || *key == "fsq") {
    if (seen.list) return false;
    seen.list = true;
    line.quaternion_form = *key == "fsq";
    return read_list(r, line);
  }
  return false;
}

}  // namespace

std::optional<GloveLineValues> parse_glove_line(std::string_view line) {
  Reader r{line};
  GloveLineValues values;
  Entries seen;
  skip_spaces(r);
  if (!take(r, '{')) return std::nullopt;
  do {
    skip_spaces(r);
    if (!read_entry(r, seen, values)) return std::nullopt;
    skip_spaces(r);
  } while (take(r, ','));
  if (!take(r, '}')) return std::nullopt;
  skip_spaces(r);
  if (r.at != line.size() || !seen.tag || !seen.list) return std::nullopt;
  return values;
}

}  // namespace kelto::hand::runtime
