// Random inputs: steps of random shapes inside enclosing groups of random kinds, with values of
// every type at its extremes, odd type words and sizes, and now and then a damaged file.
#include "support/random_input.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

// splitmix64: the same numbers from the same seed everywhere.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ULL + 0x1234567ULL) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  std::uint32_t below(std::uint32_t count) { return static_cast<std::uint32_t>(next() % count); }
  bool chance(double p) { return static_cast<double>(next() >> 11) < p * 9007199254740992.0; }
  template <typename T>
  const T& pick(const std::vector<T>& from) {
    return from[below(static_cast<std::uint32_t>(from.size()))];
  }

 private:
  std::uint64_t state_;
};

const std::uint32_t NUMERIC_TYPES[] = { TYPE_DOUBLE, TYPE_FLOAT, TYPE_S32, TYPE_U32,
                                        TYPE_U8,     TYPE_S8,    TYPE_U16, TYPE_S16 };

class Generator {
 public:
  Generator(std::uint64_t seed, bool reversed) : r_(seed), b_(reversed), f_(reversed) {}

  RandomInput make() {
    RandomInput input;
    choose_request(&input);
    if (selecting_)
      choose_selection(&input);
    both([](ZvbBuilder& out) { out.file_header(); });
    if (large_) {
      const std::uint32_t padding = (16u << 20) + r_.below(4096);
      both([padding](ZvbBuilder& out) {
        out.element_sized("padding", FLAG_ARRAY | TYPE_U8, padding, {});
      });
      input.hole_at = b_.bytes().size();
      input.hole_size = padding;
    }
    level(0, 1 + r_.below(7));
    Bytes tail;
    if (r_.chance(0.08)) {
      // A top-level end marker ends the tree: what follows is never read.
      ZvbBuilder after(reversed_);
      after.end().array_f64("x", { 1, 2 }).raw({ 1, 2, 3 });
      tail = after.bytes();
    } else if (r_.chance(0.05)) {
      for (std::uint32_t i = 1 + r_.below(23); i > 0; i--)  // too short for another header
        tail.push_back(static_cast<unsigned char>(r_.next()));
    }
    input.bytes = b_.bytes();
    input.bytes.insert(input.bytes.end(), tail.begin(), tail.end());
    if (!selecting_ && tail.empty() && r_.chance(0.05) && input.bytes.size() > input.hole_at + 64) {
      const std::size_t body = input.bytes.size() - input.hole_at;
      input.bytes.resize(input.bytes.size() - 1 - r_.below(static_cast<std::uint32_t>(body / 3)));
    }
    if (selecting_) {
      input.filtered = f_.bytes();
      input.filtered.insert(input.filtered.end(), tail.begin(), tail.end());
    }
    return input;
  }

  bool large_ = false;
  bool reversed_ = false;
  // Also makes the input as a run with the selection sees it: in the steps kept, the elements
  // of identifiers not selected removed from the identifiers and the requested arrays; the
  // steps whose loop value lies outside the window left out. Then every step carries its own
  // loop value and identifiers, and nothing in scope serves several steps.
  bool selecting_ = false;

 private:
  void choose_request(RandomInput* input) {
    loop_ = r_.chance(0.8) ? "time" : r_.chance(0.5) ? "step" : "run";
    if (r_.chance(0.1)) {
      id_name_ = r_.pick(std::vector<std::string>{ "ID", "ID", "run", "key" });
      input->options = { "-s", id_name_ };
    }
    input->operands = { loop_ };
    const std::vector<std::string> names = {
      "x", "x", "x", "y", "y", "z", "ID", "run", loop_, "", "0123456789abcdef"
    };
    for (std::uint32_t i = 1 + r_.below(3); i > 0; i--) {
      const std::string& name = r_.pick(names);
      input->operands.push_back(name);
      bool known = false;
      for (const std::string& array : arrays_)
        known = known || array == name;
      if (!known && name != loop_)
        arrays_.push_back(name);
    }
    if (r_.chance(0.3))
      arrays_.push_back("w");  // an array nobody asks for
  }

  template <typename Emit>
  void both(Emit emit) {
    emit(b_);
    if (selecting_)
      emit(f_);
  }

  static std::string text_of(double value) {
    if (std::isnan(value))
      return "nan";
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
  }

  // Identifiers from the pools the steps draw from, single and in ranges, and a window over
  // the steps' loop values (whole and half numbers from 0 on).
  void choose_selection(RandomInput* input) {
    const std::vector<double> extremes = { std::numeric_limits<double>::quiet_NaN(),
                                           -0.0,
                                           0.5,
                                           16777216.0,
                                           2147483648.0,
                                           4294967295.0,
                                           -1,
                                           65535 };
    const bool ids = r_.chance(0.75);
    const bool window = !ids || r_.chance(0.5);
    for (std::uint32_t i = ids ? 1 + r_.below(4) : 0; i > 0; i--) {
      Pick pick{ false, 0, 0, 0, false, false };
      const std::uint32_t kind = r_.below(10);
      if (kind < 5) {
        pick.value = r_.below(8);
      } else if (kind < 7) {
        pick.value = r_.pick(extremes);
      } else {
        pick.is_range = true;
        pick.low = r_.below(8);
        pick.high = pick.low + r_.below(4) + (r_.chance(0.3) ? 0.5 : 0);
        pick.open_low = kind == 9 && r_.chance(0.5);
        pick.open_high = kind == 9 && !pick.open_low;
      }
      picks_.push_back(pick);
      input->id_items.push_back(pick.is_range ? (pick.open_low ? "" : text_of(pick.low)) + ".." +
                                                    (pick.open_high ? "" : text_of(pick.high))
                                              : text_of(pick.value));
    }
    if (window) {
      window_ = Window{ static_cast<double>(r_.below(6)) / 2, 0, r_.chance(0.2), r_.chance(0.2) };
      window_.high = window_.low + static_cast<double>(r_.below(8)) / 2;
      has_window_ = true;
      input->window = (window_.open_low ? "" : text_of(window_.low)) + ".." +
                      (window_.open_high ? "" : text_of(window_.high));
    }
  }

  bool picked(double id) const {
    if (picks_.empty())
      return true;
    for (const Pick& pick : picks_) {
      if (!pick.is_range && ((std::isnan(pick.value) && std::isnan(id)) || pick.value == id))
        return true;
      if (pick.is_range && !std::isnan(id) && (pick.open_low || pick.low <= id) &&
          (pick.open_high || id <= pick.high))
        return true;
    }
    return false;
  }

  bool in_window(double value) const {
    return !has_window_ || ((window_.open_low || value >= window_.low) &&
                            (window_.open_high || value <= window_.high));
  }

  // One value of `type` at `at`, as the transposition reads it.
  double decoded(std::uint32_t type, const unsigned char* at) const {
    unsigned char bytes[8];
    const std::size_t size = static_cast<std::size_t>(value_size(type));
    for (std::size_t i = 0; i < size; i++)
      bytes[i] = reversed_ ? at[size - 1 - i] : at[i];
    switch (type & TYPE_MASK) {
    case TYPE_DOUBLE: {
      double v;
      std::memcpy(&v, bytes, 8);
      return v;
    }
    case TYPE_FLOAT: {
      float v;
      std::memcpy(&v, bytes, 4);
      return v;
    }
    case TYPE_S32: {
      std::int32_t v;
      std::memcpy(&v, bytes, 4);
      return v;
    }
    case TYPE_U32: {
      std::uint32_t v;
      std::memcpy(&v, bytes, 4);
      return v;
    }
    case TYPE_U16: {
      std::uint16_t v;
      std::memcpy(&v, bytes, 2);
      return v;
    }
    case TYPE_S16: {
      std::int16_t v;
      std::memcpy(&v, bytes, 2);
      return v;
    }
    case TYPE_U8:
      return bytes[0];
    default:
      return static_cast<std::int8_t>(bytes[0]);
    }
  }

  // One level: `items` elements, fewer when one of them closes the level early.
  void level(int depth, std::uint32_t items) {
    for (std::uint32_t i = 0; i < items; i++) {
      const std::uint32_t kind = r_.below(100);
      bool closes = false;
      if (kind < 60 || depth >= 3 || (selecting_ && kind >= 85))
        closes = step();
      else if (kind < 85)
        closes = enclosing(depth);
      else
        closes = stray();
      if (closes)
        return;  // the element closed this level: nothing more stands in it
    }
  }

  // A numeric value of `type` as bytes in the builder's order, from a pool that recurs.
  Bytes number(std::uint32_t type, double value) {
    switch (type) {
    case TYPE_DOUBLE:
      return b_.f64({ value });
    case TYPE_FLOAT:
      return b_.f32({ static_cast<float>(value) });
    case TYPE_S32:
      return b_.s32({ static_cast<std::int32_t>(value) });
    case TYPE_U32:
      return b_.u32({ static_cast<std::uint32_t>(value) });
    case TYPE_U16:
      return b_.u16({ static_cast<std::uint16_t>(value) });
    case TYPE_S16:
      return b_.u16({ static_cast<std::uint16_t>(static_cast<std::int16_t>(value)) });
    case TYPE_U8:
      return { static_cast<unsigned char>(value) };
    case TYPE_S8:
      return { static_cast<unsigned char>(static_cast<std::int8_t>(value)) };
    default:
      return {};
    }
  }

  std::uint32_t numeric_type() {
    const std::uint32_t roll = r_.below(20);
    if (roll < 7)
      return TYPE_DOUBLE;
    if (roll < 11)
      return TYPE_FLOAT;
    return NUMERIC_TYPES[r_.below(8)];
  }

  // Identifiers that recur, with the values where types and classes of equal doubles meet.
  double identifier(std::uint32_t type) {
    if (!r_.chance(0.15))
      return id_base_ + r_.below(8);
    switch (type) {
    case TYPE_DOUBLE:
      return r_.pick(std::vector<double>{ std::numeric_limits<double>::quiet_NaN(), -0.0, 0.5,
                                          1e300, -1, 4294967296.0,
                                          -std::numeric_limits<double>::quiet_NaN() });
    case TYPE_FLOAT:
      return r_.pick(std::vector<double>{ std::numeric_limits<double>::quiet_NaN(), -0.0, 0.5,
                                          16777217.0, -1 });
    case TYPE_U32:
      return r_.pick(std::vector<double>{ 2147483648.0, 4294967295.0, 16777217.0 });
    case TYPE_S32:
      return r_.pick(std::vector<double>{ -1, 16777217.0, -2147483648.0, 2147483647.0 });
    default:
      return r_.pick(std::vector<double>{ -1, 255, 65535, -128 });
    }
  }

  // Raw bytes of one value of `type`, any bit pattern the type allows, often an extreme.
  Bytes value_bytes(std::uint32_t type) {
    const std::uint64_t bits = r_.next();
    switch (type) {
    case TYPE_DOUBLE: {
      const std::uint32_t roll = r_.below(6);
      double value = roll == 0   ? std::bit_cast<double>(bits)
                     : roll == 1 ? -0.0
                     : roll == 2
                         ? std::bit_cast<double>(0x7FF0000000000000ULL | bits >> 12 | 1)
                         : static_cast<double>(static_cast<std::int64_t>(bits % 2001) - 1000) / 8;
      return b_.f64({ value });
    }
    case TYPE_FLOAT: {
      const std::uint32_t roll = r_.below(6);
      float value = roll == 0   ? std::bit_cast<float>(static_cast<std::uint32_t>(bits))
                    : roll == 1 ? std::bit_cast<float>(0x7F800001u)  // a signalling NaN
                    : roll == 2 ? std::bit_cast<float>(0x00000003u)  // a denormal
                                : static_cast<float>(bits % 2001) / 16 - 60;
      return b_.f32({ value });
    }
    case TYPE_S32:
      return b_.s32({ r_.pick(std::vector<std::int32_t>{ static_cast<std::int32_t>(bits), 16777217,
                                                         -16777217, INT32_MIN, INT32_MAX, 7 }) });
    case TYPE_U32:
      return b_.u32({ r_.pick(std::vector<std::uint32_t>{
          static_cast<std::uint32_t>(bits), 2147483648u, 4294967295u, 2147483649u, 3 }) });
    case TYPE_U16:
    case TYPE_S16:
      return b_.u16({ static_cast<std::uint16_t>(bits) });
    default:
      return { static_cast<unsigned char>(bits) };
    }
  }

  // An array's type word: mostly a plain numeric array; now and then one with bits the
  // format gives no meaning, both shape flags, or a value type that is not a number.
  std::uint32_t array_type(std::uint32_t value_type) {
    std::uint32_t type = FLAG_ARRAY | value_type;
    if (r_.chance(0.04))
      type |= (1u + r_.below(15)) << 12;
    if (r_.chance(0.03))
      type |= FLAG_SINGLE;
    if (r_.chance(0.02))
      type &= ~static_cast<std::uint32_t>(FLAG_ARRAY);
    if (r_.chance(0.02))
      type = (type & ~static_cast<std::uint32_t>(TYPE_MASK)) |
             r_.pick(std::vector<std::uint32_t>{ TYPE_ASCII, TYPE_UNDEF, 0x70, TYPE_NULL });
    return type;
  }

  struct Element {
    std::string name;
    std::uint32_t type;
    Bytes data;
    bool filtered;  // the identifiers or a requested array: its values go with the selection
  };

  Element array(const std::string& name, std::uint32_t count, bool is_id) {
    const std::uint32_t value_type = numeric_type();
    Bytes data;
    for (std::uint32_t i = 0; i < count; i++) {
      const Bytes value =
          is_id ? number(value_type, identifier(value_type)) : value_bytes(value_type);
      data.insert(data.end(), value.begin(), value.end());
    }
    if (r_.chance(0.05))
      data.push_back(static_cast<unsigned char>(r_.next()));  // a part of a value left over
    const std::uint32_t type =
        is_id && selecting_ ? FLAG_ARRAY | value_type : array_type(value_type);
    return Element{ name, type, data, true };
  }

  // Whether a step of these elements gives samples from what it holds itself (which, with no
  // arrays in scope, is all it can give them from): every requested array and the identifiers
  // its own, of numbers, with a value at least.
  bool transposes_alone(const std::vector<Element>& elements, const std::string& id) const {
    std::vector<std::string> names;
    for (const std::string& name : arrays_) {
      if (name != "w")
        names.push_back(name);
    }
    names.push_back(id);
    for (const std::string& name : names) {
      const Element* own = nullptr;
      int bearing = 0;
      for (std::size_t i = 1; i < elements.size(); i++) {
        if (elements[i].name == name) {
          own = &elements[i];
          bearing++;
        }
      }
      const int size = own != nullptr ? value_size(own->type) : -1;
      // An empty array is found as any other: a window leaves the step out even when the step
      // would be refused (an empty ID array beside a sample).
      if (name.empty() || bearing != 1 || size <= 0 || (own->type & FLAG_ARRAY) == 0 ||
          (!own->data.empty() && own->data.size() < static_cast<std::size_t>(size)))
        return false;
    }
    return true;
  }

  // The element as a run with the selection reads it: only the values of selected identifiers
  // and those beyond the identifiers, and the bytes left over; as it is when not an array of
  // numbers.
  Element selected(const Element& element, const std::vector<double>& ids) const {
    const int size = value_size(element.type);
    if (!element.filtered || size <= 0 || (element.type & FLAG_ARRAY) == 0)
      return element;
    Element kept = element;
    kept.data.clear();
    const std::size_t count = element.data.size() / static_cast<std::size_t>(size);
    for (std::size_t k = 0; k < count; k++) {
      if (k < ids.size() && !picked(ids[k]))
        continue;
      const auto* at = element.data.data() + k * static_cast<std::size_t>(size);
      kept.data.insert(kept.data.end(), at, at + size);
    }
    kept.data.insert(kept.data.end(), element.data.begin() + count * static_cast<std::size_t>(size),
                     element.data.end());
    return kept;
  }

  // A step: the loop variable as the group's value or inside it, the identifiers, and the
  // arrays, mostly of one length. Returns true when it closed the level it stands in.
  bool step() {
    const std::uint32_t shape = r_.below(100);
    const double time = static_cast<double>(time_++) / 2;
    std::vector<Element> elements;
    bool has_loop_value = false;
    double loop_value = 0;
    if (shape < 70) {
      const std::uint32_t type = r_.chance(0.7) ? TYPE_DOUBLE : numeric_type();
      Bytes value = number(type, time);
      if (r_.chance(0.03) && !selecting_)
        value.resize(value.size() / 2);  // a value cut short: no loop variable
      has_loop_value = value.size() == static_cast<std::size_t>(value_size(type));
      if (has_loop_value)
        loop_value = decoded(type, value.data());
      elements.push_back(Element{ loop_, FLAG_GROUP | FLAG_SINGLE | type, value, false });
    } else {
      const bool valued = r_.chance(0.4);
      elements.push_back(
          Element{ r_.chance(0.7) ? "step" : "k",
                   valued ? FLAG_GROUP | FLAG_SINGLE | TYPE_S32 : FLAG_GROUP | TYPE_NULL,
                   valued ? b_.s32({ static_cast<std::int32_t>(r_.below(3)) }) : Bytes{}, false });
      if (shape < 96 || selecting_) {
        const std::uint32_t type = r_.chance(0.7) ? TYPE_DOUBLE : numeric_type();
        const Bytes value = number(type, time);
        has_loop_value = true;
        loop_value = decoded(type, value.data());
        elements.push_back(Element{ loop_, FLAG_SINGLE | type, value, false });
      }
      // A group named like the loop variable is its own loop variable, whatever it holds.
      if (elements[0].name == loop_) {
        has_loop_value = valued;
        if (valued)
          loop_value = decoded(TYPE_S32, elements[0].data.data());
      }
    }
    std::uint32_t samples = 1 + r_.below(6);
    if (r_.chance(0.12))
      samples = 20 + r_.below(180);
    else if (r_.chance(0.02))
      samples = 1100 + r_.below(2000);  // read in parts when the budget is small
    else if (r_.chance(0.04))
      samples = 0;
    const std::string id = id_name_.empty() ? "ID" : id_name_;
    std::vector<double> ids;
    if (r_.chance(0.85) || selecting_) {
      std::uint32_t count = samples;
      if (r_.chance(0.04))
        count = samples == 0 ? 0 : samples - 1;  // fewer identifiers than samples
      else if (r_.chance(0.05))
        count = samples + 2;
      elements.push_back(array(id, count, true));
      const Element& ids_element = elements.back();
      const auto size = static_cast<std::size_t>(value_size(ids_element.type));
      for (std::size_t k = 0; size > 0 && (k + 1) * size <= ids_element.data.size(); k++)
        ids.push_back(decoded(ids_element.type, ids_element.data.data() + k * size));
    }
    for (const std::string& name : arrays_) {
      if (name == id)
        continue;
      const std::uint32_t roll = r_.below(100);
      bool encloses = false;
      for (const std::string& around : enclosing_names_)
        encloses = encloses || around == name;
      if (roll < (encloses ? 30 : 6))
        continue;  // missing: the step is passed over, or the name found further out
      std::uint32_t count = samples;
      if (roll < 9)
        count = samples + 1;  // arrays of unequal lengths
      elements.push_back(array(name, count, false));
      elements.back().filtered = name != "w";
    }
    if (r_.chance(0.05) && !selecting_)
      elements.push_back(Element{ "x", FLAG_SINGLE | TYPE_DOUBLE, b_.f64({ 1.5 }), false });
    if (r_.chance(0.03))
      elements.push_back(
          Element{ "note", FLAG_SINGLE | TYPE_ASCII, { 's', 't', 'e', 'p', 0 }, false });
    if (large_ && r_.chance(0.3)) {
      // Bytes nobody asks for among the step's arrays, more than one read of the arrays on file
      // takes at a time, and the arrays often in the reverse of the order they are read in: the
      // arrays before the bytes are read after those behind them.
      if (r_.chance(0.5))
        std::reverse(elements.begin() + 1, elements.end());
      const std::size_t at = 1 + r_.below(static_cast<std::uint32_t>(elements.size()));
      const Bytes pad(200000 + r_.below(250000), static_cast<unsigned char>(r_.next()));
      elements.insert(elements.begin() + static_cast<std::ptrdiff_t>(at),
                      Element{ "pad", FLAG_ARRAY | TYPE_U8, pad, false });
    }
    for (const Element& element : elements)
      b_.element(element.name, element.type, element.data);
    b_.end();
    // A step that gives no sample stays as it is; one that does is left out when its loop value
    // lies outside the window.
    const bool transposes = has_loop_value && transposes_alone(elements, id);
    if (selecting_ && (!transposes || in_window(loop_value))) {
      for (const Element& element : elements) {
        const Element kept = transposes ? selected(element, ids) : element;
        f_.element(kept.name, kept.type, kept.data);
      }
      f_.end();
    }
    return false;
  }

  // A group around more levels, of a kind that is copied below every trajectory or not.
  bool enclosing(int depth) {
    std::string name = r_.pick(
        std::vector<std::string>{ "run", "run", "run", "step", "x", "ID", loop_, "g", "g" });
    if (r_.chance(0.25) && !arrays_.empty())
      name = r_.pick(arrays_);  // met as a group by the lookups of a requested name
    // Runs are mostly S32-valued, as simulations number them; bytes after a name's end are
    // kept in copies.
    const bool run = name == "run";
    if (run && r_.chance(0.5))
      name = std::string("run\0tail", 8);
    std::uint32_t kind = r_.below(100);
    if (run && r_.chance(0.6))
      kind = 30;
    std::uint32_t type;
    Bytes value;
    const auto small = static_cast<double>(1 + r_.below(3));
    if (kind < 30) {
      type = FLAG_GROUP | TYPE_NULL;
    } else if (kind < 55) {
      type = FLAG_GROUP | FLAG_SINGLE | TYPE_S32;
      value = number(TYPE_S32, small);
    } else if (kind < 65) {
      type = FLAG_GROUP | FLAG_SINGLE | TYPE_U8;
      value = number(TYPE_U8, small);
      if (r_.chance(0.5))
        value.resize(9, static_cast<unsigned char>(small));  // a "single" of nine values
    } else if (kind < 72) {
      type = FLAG_GROUP | FLAG_SINGLE | TYPE_DOUBLE;
      value = number(TYPE_DOUBLE, small / 4);
    } else if (kind < 78) {
      type = FLAG_GROUP | FLAG_SINGLE | (r_.chance(0.5) ? TYPE_FLOAT : TYPE_S8);  // not copied
      value = number(type & TYPE_MASK, small);
    } else if (kind < 84) {
      type = FLAG_GROUP | FLAG_SINGLE | TYPE_U32 | ((1u + r_.below(3)) << 12);
      value = number(TYPE_U32, 2147483648.0 + small);
    } else if (kind < 90) {
      // Closes the level it stands in once its own children are read.
      type = FLAG_GROUP | FLAG_END_GROUP | FLAG_SINGLE | TYPE_S32;
      value = number(TYPE_S32, small);
    } else if (kind < 95) {
      type = FLAG_GROUP | TYPE_S16;  // a value without a shape flag
      value = number(TYPE_S16, small);
    } else {
      type = FLAG_GROUP | FLAG_SINGLE | TYPE_ASCII;
      value = { 'r', static_cast<unsigned char>('0' + small), 0 };
    }
    both([&](ZvbBuilder& out) { out.element(name, type, value); });
    enclosing_names_.push_back(name);
    // Some groups hold objects of their own, so that trajectories begin inside them too.
    const std::uint32_t outer_base = id_base_;
    if (r_.chance(0.3))
      id_base_ = 8 * (1 + r_.below(3));
    level(depth + 1, 1 + r_.below(5));
    id_base_ = outer_base;
    enclosing_names_.pop_back();
    if (r_.chance(0.97))
      both([](ZvbBuilder& out) { out.end(); });
    return (type & FLAG_END_GROUP) != 0;
  }

  // An element among the groups: an array or value in the scope of what follows, or one that
  // closes the level.
  bool stray() {
    const std::uint32_t kind = r_.below(100);
    if (kind < 55) {
      const Element element =
          kind < 30 ? array(id_name_.empty() ? "ID" : id_name_, 1 + r_.below(6), true)
                    : array(arrays_.empty() ? "x" : r_.pick(arrays_), 1 + r_.below(6), false);
      b_.element(element.name, element.type, element.data);
    } else if (kind < 70) {
      b_.single_f64(loop_, 7.5);
    } else if (kind < 80) {
      b_.text("title", "random input");
    } else if (kind < 90) {
      b_.element("empty", TYPE_NULL, {});
    } else {
      // An array whose type word also closes the level.
      b_.element("x", FLAG_ARRAY | FLAG_END_GROUP | TYPE_DOUBLE, b_.f64({ 1, 2 }));
      return true;
    }
    return false;
  }

  struct Pick {
    bool is_range;
    double value;
    double low;
    double high;
    bool open_low;
    bool open_high;
  };
  struct Window {
    double low;
    double high;
    bool open_low;
    bool open_high;
  };

  Random r_;
  ZvbBuilder b_;
  ZvbBuilder f_;  // the input as the selection leaves it
  std::vector<Pick> picks_;
  Window window_{};
  bool has_window_ = false;
  std::string loop_;
  std::string id_name_;
  std::vector<std::string> arrays_;           // the distinct requested names but the loop variable
  std::vector<std::string> enclosing_names_;  // of the groups around the element being made
  std::uint32_t time_ = 0;
  std::uint32_t id_base_ = 0;  // the common identifiers of the steps being made
};

}  // namespace

RandomInput random_input(std::uint64_t seed, bool selecting) {
  Random choice(seed ^ 0xA5A5A5A5ULL);
  const bool reversed = choice.chance(0.2);
  Generator generator(seed, reversed);
  generator.reversed_ = reversed;
  generator.large_ = !reversed && choice.chance(0.15);
  generator.selecting_ = selecting;
  return generator.make();
}

void write_filtered_input(const std::string& path, const RandomInput& input) {
  RandomInput filtered = input;
  filtered.bytes = input.filtered;
  write_random_input(path, filtered);
}

void write_random_input(const std::string& path, const RandomInput& input) {
  if (input.hole_size == 0) {
    write_file_bytes(path, input.bytes);
    return;
  }
  const Bytes head(input.bytes.begin(), input.bytes.begin() + input.hole_at);
  const Bytes tail(input.bytes.begin() + input.hole_at, input.bytes.end());
  write_sparse_file(path, head, static_cast<std::int64_t>(input.bytes.size() + input.hole_size),
                    tail);
}

std::vector<std::string> random_input_args(const RandomInput& input,
                                           const std::string& input_name) {
  std::vector<std::string> args = input.options;
  args.push_back(input_name);
  args.insert(args.end(), input.operands.begin(), input.operands.end());
  return args;
}
