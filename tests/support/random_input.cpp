// Random inputs: steps of random shapes inside enclosing groups of random kinds, with values of
// every type at its extremes, odd type words and sizes, and now and then a damaged file.
#include "support/random_input.h"

#include <bit>
#include <cmath>
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
  Generator(std::uint64_t seed, bool reversed) : r_(seed), b_(reversed) {}

  RandomInput make() {
    RandomInput input;
    choose_request(&input);
    b_.file_header();
    if (large_) {
      const std::uint32_t padding = (16u << 20) + r_.below(4096);
      b_.element_sized("padding", FLAG_ARRAY | TYPE_U8, padding, {});
      input.hole_at = b_.bytes().size();
      input.hole_size = padding;
    }
    level(0, 1 + r_.below(7));
    Bytes bytes = b_.bytes();
    if (r_.chance(0.08)) {
      // A top-level end marker ends the tree: what follows is never read.
      ZvbBuilder tail(reversed_);
      tail.end().array_f64("x", { 1, 2 }).raw({ 1, 2, 3 });
      bytes.insert(bytes.end(), tail.bytes().begin(), tail.bytes().end());
    } else if (r_.chance(0.05)) {
      for (std::uint32_t i = 1 + r_.below(23); i > 0; i--)  // too short for another header
        bytes.push_back(static_cast<unsigned char>(r_.next()));
    } else if (r_.chance(0.05) && bytes.size() > input.hole_at + 64) {
      const std::size_t body = bytes.size() - input.hole_at;
      bytes.resize(bytes.size() - 1 - r_.below(static_cast<std::uint32_t>(body / 3)));
    }
    input.bytes = std::move(bytes);
    return input;
  }

  bool large_ = false;
  bool reversed_ = false;

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

  // One level: `items` elements, fewer when one of them closes the level early.
  void level(int depth, std::uint32_t items) {
    for (std::uint32_t i = 0; i < items; i++) {
      const std::uint32_t kind = r_.below(100);
      bool closes = false;
      if (kind < 60 || depth >= 3)
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
      return r_.below(8);
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

  void array(const std::string& name, std::uint32_t count, bool is_id) {
    const std::uint32_t value_type = numeric_type();
    Bytes data;
    for (std::uint32_t i = 0; i < count; i++) {
      const Bytes value =
          is_id ? number(value_type, identifier(value_type)) : value_bytes(value_type);
      data.insert(data.end(), value.begin(), value.end());
    }
    if (r_.chance(0.05))
      data.push_back(static_cast<unsigned char>(r_.next()));  // a part of a value left over
    b_.element(name, array_type(value_type), data);
  }

  // A step: the loop variable as the group's value or inside it, the identifiers, and the
  // arrays, mostly of one length. Returns true when it closed the level it stands in.
  bool step() {
    const std::uint32_t shape = r_.below(100);
    const double time = static_cast<double>(time_++) / 2;
    if (shape < 70) {
      const std::uint32_t type = r_.chance(0.7) ? TYPE_DOUBLE : numeric_type();
      Bytes value = number(type, time);
      if (r_.chance(0.03))
        value.resize(value.size() / 2);  // a value cut short: no loop variable
      b_.element(loop_, FLAG_GROUP | FLAG_SINGLE | type, value);
    } else {
      const bool valued = r_.chance(0.4);
      b_.element(r_.chance(0.7) ? "step" : "k",
                 valued ? FLAG_GROUP | FLAG_SINGLE | TYPE_S32 : FLAG_GROUP | TYPE_NULL,
                 valued ? b_.s32({ static_cast<std::int32_t>(r_.below(3)) }) : Bytes{});
      if (shape < 96) {
        const std::uint32_t type = r_.chance(0.7) ? TYPE_DOUBLE : numeric_type();
        b_.element(loop_, FLAG_SINGLE | type, number(type, time));
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
    if (r_.chance(0.85)) {
      std::uint32_t ids = samples;
      if (r_.chance(0.04))
        ids = samples == 0 ? 0 : samples - 1;  // fewer identifiers than samples
      else if (r_.chance(0.05))
        ids = samples + 2;
      array(id, ids, true);
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
      array(name, count, false);
    }
    if (r_.chance(0.05))
      b_.single_f64("x", 1.5);  // a single value where an array may be asked for
    if (r_.chance(0.03))
      b_.text("note", "step");
    b_.end();
    return false;
  }

  // A group around more levels, of a kind that is copied below every trajectory or not.
  bool enclosing(int depth) {
    std::string name = r_.pick(
        std::vector<std::string>{ "run", "run", "run", "step", "x", "ID", loop_, "g", "g" });
    if (r_.chance(0.25) && !arrays_.empty())
      name = r_.pick(arrays_);  // met as a group by the lookups of a requested name
    if (r_.chance(0.05))
      name = std::string("run\0tail", 8);  // bytes after the name's end are kept in copies
    const std::uint32_t kind = r_.below(100);
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
    b_.element(name, type, value);
    enclosing_names_.push_back(name);
    level(depth + 1, 1 + r_.below(5));
    enclosing_names_.pop_back();
    if (r_.chance(0.97))
      b_.end();
    return (type & FLAG_END_GROUP) != 0;
  }

  // An element among the groups: an array or value in the scope of what follows, or one that
  // closes the level.
  bool stray() {
    const std::uint32_t kind = r_.below(100);
    if (kind < 30) {
      array(id_name_.empty() ? "ID" : id_name_, 1 + r_.below(6), true);
    } else if (kind < 55) {
      array(arrays_.empty() ? "x" : r_.pick(arrays_), 1 + r_.below(6), false);
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

  Random r_;
  ZvbBuilder b_;
  std::string loop_;
  std::string id_name_;
  std::vector<std::string> arrays_;           // the distinct requested names but the loop variable
  std::vector<std::string> enclosing_names_;  // of the groups around the element being made
  std::uint32_t time_ = 0;
};

}  // namespace

RandomInput random_input(std::uint64_t seed) {
  Random choice(seed ^ 0xA5A5A5A5ULL);
  const bool reversed = choice.chance(0.2);
  Generator generator(seed, reversed);
  generator.reversed_ = reversed;
  generator.large_ = !reversed && choice.chance(0.15);
  return generator.make();
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
