// zvbgen: writes a simulation-like ZVB file, one group per time step, for the demo, the tests
// and the benchmarks. Objects move, some leave at every step and as many new ones arrive with
// new, sparse identifiers, and each step lists its objects in a new order.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "data/format.h"
#include "data/writer.h"

namespace {

struct Settings {
  long steps = 200;
  long objects = 30;
  double churn = 0.05;  // share of the objects replaced at every step
  bool use_float = false;
  bool nested = false;  // each step's group inside an S32-valued group of its own
  std::uint64_t seed = 1;
  const char* output = nullptr;
};

struct Preset {
  const char* name;
  long steps;
  long objects;
  double churn;
  bool use_float;
  bool nested;
};

const Preset presets[] = {
  { "demo", 200, 30, 0.05, false, false },
  { "small", 200, 2000, 0.01, false, false },
  { "medium", 1000, 10000, 0.01, true, false },
  { "wide", 50, 1000000, 0.01, true, false },
  { "long", 20000, 100, 0.01, true, false },
  { "nested", 1000, 2000, 0.01, true, true },
};

// xorshift64*: fast and plenty for made-up positions.
struct Random {
  std::uint64_t state;
  std::uint64_t next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1DULL;
  }
  double uniform() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
};

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f != nullptr && f != stdout)
      std::fclose(f);
  }
};

class Output {
 public:
  Output(std::FILE* stream, const char* name) : stream_(stream), name_(name) {}
  void bytes(const void* data, std::size_t size) {
    if (size != 0 && std::fwrite(data, size, 1, stream_) != 1)
      fail();
  }
  void element(const char* name, std::uint32_t type, const void* data, std::size_t size) {
    ElementHeader header{};
    set_name(header.name, name);
    header.type = type;
    header.size = static_cast<std::uint32_t>(size);
    unsigned char encoded[sizeof header];
    encode_element_header(header, encoded);
    bytes(encoded, sizeof encoded);
    bytes(data, size);
  }
  void end() { element("", END_MARKER_TYPE, nullptr, 0); }
  void finish() {
    if (std::fflush(stream_) != 0)
      fail();
  }
  [[noreturn]] void fail() {
    std::fprintf(stderr, "zvbgen: \"%s\": %s\n", name_, std::strerror(errno));
    std::exit(1);
  }

 private:
  std::FILE* stream_;
  const char* name_;
};

[[noreturn]] void usage() {
  std::fputs(
      "usage: zvbgen [-p preset] [-T steps] [-N objects] [-c churn] [-f] [-n] [-S seed] [-o outfile]\n"
      "presets: demo small medium wide long nested\n",
      stderr);
  std::exit(1);
}

bool apply_preset(Settings& settings, const char* name) {
  for (const Preset& preset : presets) {
    if (std::strcmp(preset.name, name) != 0)
      continue;
    settings.steps = preset.steps;
    settings.objects = preset.objects;
    settings.churn = preset.churn;
    settings.use_float = preset.use_float;
    settings.nested = preset.nested;
    return true;
  }
  return false;
}

Settings parse(int argc, char** argv) {
  Settings settings;
  for (int i = 1; i < argc; i++) {
    const std::string word = argv[i];
    if (word == "-f") {
      settings.use_float = true;
      continue;
    }
    if (word == "-n") {
      settings.nested = true;
      continue;
    }
    if (i + 1 >= argc)
      usage();
    const char* value = argv[++i];
    if (word == "-p") {
      if (!apply_preset(settings, value))
        usage();
    } else if (word == "-T") {
      settings.steps = std::atol(value);
    } else if (word == "-N") {
      settings.objects = std::atol(value);
    } else if (word == "-c") {
      settings.churn = std::atof(value);
    } else if (word == "-S") {
      settings.seed = std::strtoull(value, nullptr, 10);
    } else if (word == "-o") {
      settings.output = value;
    } else {
      usage();
    }
  }
  if (settings.steps < 1 || settings.objects < 1 || settings.churn < 0 || settings.churn > 1)
    usage();
  return settings;
}

struct Body {
  std::int32_t id;
  double x, y, z;
};

}  // namespace

int main(int argc, char** argv) {
  const Settings settings = parse(argc, argv);
  std::unique_ptr<std::FILE, FileCloser> file(
      settings.output != nullptr ? std::fopen(settings.output, "wb") : stdout);
  const char* name = settings.output != nullptr ? settings.output : "-";
  Output out(file.get(), name);
  if (file == nullptr)
    out.fail();
  std::setvbuf(file.get(), nullptr, _IOFBF, 1 << 20);

  FileHeader header{};
  init_file_header(&header, "ZVBGEN", 1, 0, "", 0, 0);
  unsigned char encoded[sizeof header];
  encode_file_header(header, encoded);
  out.bytes(encoded, sizeof encoded);

  Random random{ settings.seed * 0x9E3779B97F4A7C15ULL + 1 };
  std::vector<Body> bodies(static_cast<std::size_t>(settings.objects));
  std::int32_t next_id = 1;
  for (Body& body : bodies) {
    body = { next_id, random.uniform(), random.uniform(), random.uniform() };
    next_id += 1 + static_cast<std::int32_t>(random.below(3));
  }
  const std::size_t count = bodies.size();
  const std::size_t replaced = static_cast<std::size_t>(settings.churn * count + 0.5);
  std::vector<std::int32_t> ids(count);
  std::vector<double> coordinates(count);
  std::vector<float> narrow(count);
  const std::uint32_t value_type = settings.use_float ? TYPE_FLOAT : TYPE_DOUBLE;
  const std::size_t width = settings.use_float ? sizeof(float) : sizeof(double);

  for (long step = 0; step < settings.steps; step++) {
    if (step > 0) {
      for (std::size_t r = 0; r < replaced; r++) {
        Body& body = bodies[random.below(count)];
        body = { next_id, random.uniform(), random.uniform(), random.uniform() };
        next_id += 1 + static_cast<std::int32_t>(random.below(5));
      }
      for (Body& body : bodies) {
        body.x += 0.01 * (random.uniform() - 0.5);
        body.y += 0.01 * (random.uniform() - 0.5);
        body.z += 0.01 * (random.uniform() - 0.5);
      }
    }
    for (std::size_t i = count - 1; i > 0; i--)
      std::swap(bodies[i], bodies[random.below(i + 1)]);

    if (settings.nested) {
      const std::int32_t index = static_cast<std::int32_t>(step);
      out.element("step", FLAG_GROUP | FLAG_SINGLE | TYPE_S32, &index, sizeof index);
    }
    const double time = 0.1 * static_cast<double>(step);
    out.element("time", FLAG_GROUP | FLAG_SINGLE | TYPE_DOUBLE, &time, sizeof time);
    for (std::size_t i = 0; i < count; i++)
      ids[i] = bodies[i].id;
    out.element("ID", FLAG_ARRAY | TYPE_S32, ids.data(), count * sizeof(std::int32_t));
    for (double Body::*axis : { &Body::x, &Body::y, &Body::z }) {
      for (std::size_t i = 0; i < count; i++) {
        coordinates[i] = bodies[i].*axis;
        narrow[i] = static_cast<float>(coordinates[i]);
      }
      const char* axis_name = axis == &Body::x ? "x" : axis == &Body::y ? "y" : "z";
      const void* data = settings.use_float ? static_cast<const void*>(narrow.data())
                                            : static_cast<const void*>(coordinates.data());
      out.element(axis_name, FLAG_ARRAY | value_type, data, count * width);
    }
    out.end();
    if (settings.nested)
      out.end();
  }
  out.finish();
  return 0;
}
